// SPDX-License-Identifier: LGPL-2.1-or-later
// Calls one entry point a given number of times, for counting the
// instructions per call under callgrind:
//     count_calls ENTRY_POINT COUNT
// Run it against the simulated build (LD_LIBRARY_PATH) or the hardware
// build where access is refused. Where the hardware build is granted access
// it refuses to run: real transfers belong in the emulated PC.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qport.h"
#include "qport_ext.h"

namespace {

// Keeps each result alive without a store the compiler could drop.
volatile int sink;

void call(const char *entry_point, long count)
{
    constexpr short port = 0x378;
    if (std::strcmp(entry_point, "inportb") == 0) {
        for (long i = 0; i < count; ++i)
            sink = inportb(port);
    } else if (std::strcmp(entry_point, "inportw") == 0) {
        for (long i = 0; i < count; ++i)
            sink = inportw(port);
    } else if (std::strcmp(entry_point, "inport") == 0) {
        for (long i = 0; i < count; ++i)
            sink = inport(port);
    } else if (std::strcmp(entry_point, "outportb") == 0) {
        for (long i = 0; i < count; ++i)
            outportb(port, static_cast<char>(i));
    } else {
        std::fprintf(stderr, "count_calls: unknown entry point %s\n", entry_point);
        std::exit(2);
    }
}

int quiet_presenter(const char *, const char *, void *) { return 1; }

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: count_calls inportb|inportw|inport|outportb COUNT\n");
        return 2;
    }
    if (std::strcmp(qport_backend(), "hardware") == 0 &&
        qport_access_status() == QPORT_ACCESS_GRANTED) {
        std::fprintf(stderr, "count_calls: this machine grants port access; "
                             "run hardware transfers only in the emulated PC\n");
        return 1;
    }
    qport_set_presenter(quiet_presenter, nullptr);
    call(argv[1], std::strtol(argv[2], nullptr, 10));
    std::printf("%s on the %s build (%s)\n", argv[1], qport_backend(),
                qport_access_status() == QPORT_ACCESS_GRANTED ? "granted" : "refused");
    return 0;
}
