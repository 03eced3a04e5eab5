// SPDX-License-Identifier: LGPL-2.1-or-later
// Drives the parallel port of the shared machine (QPORT_SIM_MACHINE) at a
// steady rate, for the panel's benchmark: writes of a counting byte to the
// data register with a status read after every seventh, paced in batches
// against CLOCK_MONOTONIC.
//   qport_panel_load_generator TRANSFERS_PER_SECOND SECONDS
// Prints the rate reached. Linked with the simulated build alone.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "qport.h"
#include "qport_ext.h"

int main(int argc, char **argv)
{
    if (argc != 3 || std::atof(argv[1]) <= 0 || std::atof(argv[2]) <= 0) {
        std::fprintf(stderr, "usage: %s TRANSFERS_PER_SECOND SECONDS\n", argv[0]);
        return 2;
    }
    const double rate = std::atof(argv[1]);
    const std::chrono::duration<double> duration(std::atof(argv[2]));
    using Clock = std::chrono::steady_clock;
    constexpr long batch = 1000;
    const auto start = Clock::now();
    long transfers = 0;
    unsigned char value = 0;
    while (Clock::now() - start < duration) {
        for (long index = 0; index < batch; ++index, ++value) {
            if (value % 7 == 0)
                static_cast<void>(inportb(0x379));
            else
                outportb(0x378, static_cast<char>(value));
        }
        transfers += batch;
        // Ahead of the rate: wait until the schedule catches up.
        const auto due =
            start + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(transfers) / rate));
        if (due > Clock::now())
            std::this_thread::sleep_until(due);
    }
    const std::chrono::duration<double> elapsed = Clock::now() - start;
    std::printf("%.0f transfers/s for %.1f s (%s build)\n",
                static_cast<double>(transfers) / elapsed.count(), elapsed.count(), qport_backend());
    return 0;
}
