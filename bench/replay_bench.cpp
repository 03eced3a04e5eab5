// SPDX-License-Identifier: LGPL-2.1-or-later
// What a replayed read costs: a recording of byte reads is written, the
// program runs itself again replaying it (QPORT_SIM_REPLAY is read when the
// library is loaded), and times rounds of reads through inportb; the median
// round, per read, is printed with the range.
//     qport_replay_bench [ROUNDS [READS_PER_ROUND]]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "qport.h"
#include "timing.h"

namespace {

constexpr short replayed_port = 0x379;

int write_recording(const std::string &path, long reads)
{
    std::FILE *file = std::fopen(path.c_str(), "w");
    if (file == nullptr)
        return -1;
    for (long i = 0; i < reads; ++i)
        std::fprintf(file, "1.%09ld in 8 0x0379 0x%02lx\n", i % 1000000000L, i & 0xFF);
    return std::fclose(file);
}

} // namespace

int main(int argc, char **argv)
{
    const long rounds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 21;
    const long reads = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 50000;
    if (rounds < 1 || reads < 1) {
        std::fputs("usage: qport_replay_bench [ROUNDS [READS_PER_ROUND]]\n", stderr);
        return 2;
    }
    if (std::getenv("QPORT_SIM_REPLAY") == nullptr) {
        char directory[] = "/tmp/qport-replay-bench.XXXXXX";
        if (::mkdtemp(directory) == nullptr)
            return 1;
        const std::string recording = std::string(directory) + "/reads.rec";
        if (write_recording(recording, rounds * reads) != 0)
            return 1;
        const pid_t child = ::fork();
        if (child == 0) {
            ::setenv("QPORT_SIM_REPLAY", recording.c_str(), 1);
            ::execv("/proc/self/exe", argv);
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ::unlink(recording.c_str());
        ::rmdir(directory);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    std::vector<double> per_read;
    unsigned sum = 0;
    for (long round = 0; round < rounds; ++round) {
        per_read.push_back(ns_per_call(reads, [&](long /*at*/) {
            sum += static_cast<unsigned char>(inportb(replayed_port));
        }));
    }
    const auto [fastest, slowest] = std::minmax_element(per_read.begin(), per_read.end());
    std::printf("replayed read: %.1f ns (%.1f to %.1f; %ld rounds of %ld reads, checksum %u)\n",
                median(per_read), *fastest, *slowest, rounds, reads, sum);
    return 0;
}
