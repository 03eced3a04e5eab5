// SPDX-License-Identifier: LGPL-2.1-or-later
// What an emulated ppdev request, and a byte through the served /dev/port,
// cost: run under qport-run --simulated, it times in the same process, in
// alternating rounds,
//   ppdev    PPWDATA on /dev/parport0, claimed: the preload's ioctl(),
//            the descriptor looked up, the byte fetched from the program's
//            memory and written to the simulated data register;
//   PPRDATA  the data register read the same way, the byte put in the
//            program's memory;
//   port     pread() of one byte of /dev/port at 0x378, the same register:
//            the preload's pread(), the descriptor looked up, one transfer,
//            the byte put in the program's memory;
//   passed   an ioctl() on another descriptor (FIONREAD on a pipe), which
//            the preload hands to the C library: the kernel's round trip,
//            for scale.
// The medians, in ns per request, are printed.
//     qport-run qport_ppdev_bench [ROUNDS [REQUESTS_PER_ROUND]]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "timing.h"

namespace {} // namespace

int main(int argc, char **argv)
{
    const long rounds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 21;
    const long requests = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 100000;
    const int port = ::open("/dev/parport0", O_RDWR);
    const int ports = ::open("/dev/port", O_RDWR);
    int pipe_ends[2] = {-1, -1};
    if (port < 0 || ports < 0 || ::ioctl(port, PPCLAIM) != 0 || ::pipe(pipe_ends) != 0) {
        std::perror("qport_ppdev_bench: /dev/parport0 and /dev/port (run it under qport-run "
                    "--simulated)");
        return 1;
    }
    std::vector<double> ppdev;
    std::vector<double> ppdev_read;
    std::vector<double> port_read;
    std::vector<double> passed;
    for (long round = 0; round < rounds; ++round) {
        ppdev.push_back(ns_per_call(requests, [&](long at) {
            auto byte = static_cast<std::uint8_t>(at);
            ::ioctl(port, PPWDATA, &byte);
        }));
        ppdev_read.push_back(ns_per_call(requests, [&](long /*at*/) {
            std::uint8_t byte = 0;
            ::ioctl(port, PPRDATA, &byte);
        }));
        port_read.push_back(ns_per_call(requests, [&](long /*at*/) {
            std::uint8_t byte = 0;
            ::pread(ports, &byte, 1, 0x378);
        }));
        passed.push_back(ns_per_call(requests, [&](long /*at*/) {
            int waiting = 0;
            ::ioctl(pipe_ends[0], FIONREAD, &waiting);
        }));
    }
    std::printf("PPWDATA on /dev/parport0: %.1f ns\n", median(ppdev));
    std::printf("PPRDATA on /dev/parport0: %.1f ns\n", median(ppdev_read));
    std::printf("pread of a byte of /dev/port: %.1f ns, %.2f x PPRDATA\n", median(port_read),
                median(port_read) / median(ppdev_read));
    std::printf("FIONREAD on a pipe, passed on: %.1f ns\n", median(passed));
    return 0;
}
