// SPDX-License-Identifier: LGPL-2.1-or-later
// Reads the parallel port's status register once and says what each of its
// five lines tells about the printer.
//   read_status_lines
#include <cstdio>

#include <qport.h>
#include <qport_ext.h>

namespace {

constexpr short status_register = 0x379;

struct StatusLine {
    unsigned bit;
    const char *name;
    // The register inverts some lines: what the bit means when set.
    const char *when_set;
    const char *when_clear;
};

// Bits 0 to 2 carry no line.
constexpr StatusLine status_lines[] = {
    {7, "busy (pin 11)", "no, ready for data", "yes"}, // the register inverts BUSY
    {6, "ack (pin 10)", "no", "yes, a byte was taken"},
    {5, "paper out (pin 12)", "yes", "no"},
    {4, "select (pin 13)", "yes, on line", "no, off line"},
    {3, "error (pin 15)", "no", "yes"}, // the line is active low
};

} // namespace

int main()
{
    if (qport_access_status() != QPORT_ACCESS_GRANTED) {
        std::fprintf(stderr, "%s\n", qport_access_message());
        return 1;
    }
    // inportb sign-extends; the mask gives the byte back.
    const unsigned status = static_cast<unsigned>(inportb(status_register)) & 0xFFU;
    std::printf("status register 0x%02x\n", status);
    for (const StatusLine &line : status_lines)
        std::printf("  %-19s %s\n", line.name,
                    (status >> line.bit) & 1U ? line.when_set : line.when_clear);
    return 0;
}
