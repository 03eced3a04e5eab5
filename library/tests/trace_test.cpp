// SPDX-License-Identifier: LGPL-2.1-or-later
// The transfer trace: one line per transfer in the documented format, and
// transfers from many threads all recorded, none torn.
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "qport.h"
#include "qport_sim.h"

namespace {

TEST(Trace, OneLinePerTransferInTheDocumentedFormat)
{
    char path[] = "/tmp/qport-trace-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_EQ(qport_sim_trace_to(path), 0);
    qport_sim_reset();
    outport(0x378, 0x00FFFFFF);
    inportw(0x378);
    outportb(17786, -38);
    ASSERT_EQ(qport_sim_trace_to(nullptr), 0);
    inportb(0x378); // after the trace was stopped

    std::ifstream trace(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(trace, line);)
        lines.push_back(line);
    ::unlink(path);

    const std::regex format(R"(^\d+\.\d{9} (in|out) (8|16|32) 0x[0-9a-f]{4} 0x[0-9a-f]+$)");
    const std::vector<std::string> expected_tails = {
        "out 32 0x0378 0x00ffffff",
        "in 16 0x0378 0x7fff",
        "out 8 0x457a 0xda",
    };
    ASSERT_EQ(lines.size(), expected_tails.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], format)) << lines[i];
        EXPECT_EQ(lines[i].substr(lines[i].find(' ') + 1), expected_tails[i]);
    }
}

TEST(Trace, TransfersFromManyThreadsAreAllRecorded)
{
    qport_sim_reset();
    constexpr int threads = 4;
    constexpr int per_thread = 2000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i)
                outportw(static_cast<short>(0x300 + 2 * t), static_cast<short>(i));
        });
    }
    for (auto &worker : workers)
        worker.join();

    std::vector<qport_sim_transfer> transfers(std::size_t{threads} * per_thread);
    ASSERT_EQ(qport_sim_transfers(transfers.data(), transfers.size()), transfers.size());
    std::vector<int> next_value(threads, 0);
    for (const auto &transfer : transfers) {
        const int t = (transfer.port - 0x300) / 2;
        ASSERT_GE(t, 0);
        ASSERT_LT(t, threads);
        EXPECT_EQ(transfer.value,
                  static_cast<std::uint32_t>(next_value[static_cast<std::size_t>(t)]++))
            << "each thread's transfers are recorded in its own order";
    }
}

} // namespace
