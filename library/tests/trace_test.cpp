// SPDX-License-Identifier: LGPL-2.1-or-later
// The transfer trace: one line per transfer in the documented format,
// transfers from many threads all recorded, none torn, and a trace that
// never harms the program whatever its destination does.
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "child_process.h"
#include "fresh_machine.h"
#include "qport.h"
#include "qport_sim.h"

namespace {

using Trace = FreshMachine;

const std::regex
    trace_line(R"(^\d+\.\d{9} (in|out) (8|16|32) 0x[0-9a-f]{4} 0x[0-9a-f]+( # no device)?$)");

TEST_F(Trace, OneLinePerTransferInTheDocumentedFormat)
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

    const std::vector<std::string> expected_tails = {
        "out 32 0x0378 0x00ffffff",
        "in 16 0x0378 0x7fff",
        "out 8 0x457a 0xda # no device",
    };
    ASSERT_EQ(lines.size(), expected_tails.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], trace_line)) << lines[i];
        EXPECT_EQ(lines[i].substr(lines[i].find(' ') + 1), expected_tails[i]);
    }
}

TEST_F(Trace, TransfersFromManyThreadsAreAllRecorded)
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

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

// transfer_subject makes 21 transfers and prints "85"; each case gives its
// trace a destination that misbehaves, and the program must go on unharmed,
// with at most one line about it on standard error.
struct HarmlessTraceCase {
    const char *name;
    std::string destination; // relative to the case's directory
    std::vector<std::string> arguments;
    bool close_stdout;
    int status;
    const char *message; // the one line on standard error; nullptr for none
    std::function<void(const ProgramOutcome &, const ScratchDirectory &)> check;
};

TEST_F(Trace, NeverHarmsTheProgram)
{
    int reader = -1; // of the FIFO whose reader goes away
    const auto every_line_traced = [](const ProgramOutcome &, const ScratchDirectory &directory) {
        const auto lines = lines_of(file_text(directory / "trace"));
        EXPECT_EQ(lines.size(), 21U);
        for (const auto &line : lines)
            EXPECT_TRUE(std::regex_match(line, trace_line)) << "not a trace line: " << line;
    };
    const HarmlessTraceCase cases[] = {
        {"a FIFO with no reader is skipped at load",
         "fifo",
         {},
         false,
         0,
         "has no reader",
         nullptr},
        {"a reader that goes away stops the trace, without SIGPIPE",
         "fifo",
         {"wait"},
         false,
         0,
         "the reader of the trace has gone",
         nullptr},
        {"with standard output closed the trace is not put on descriptor 1",
         "trace",
         {},
         true,
         1,
         nullptr,
         every_line_traced},
        {"a write error is told once",
         "/dev/full",
         {},
         false,
         0,
         "No space left on device",
         nullptr},
        {"stdout means standard output",
         "stdout",
         {},
         false,
         0,
         nullptr,
         [](const ProgramOutcome &outcome, const ScratchDirectory &directory) {
             EXPECT_EQ(lines_of(outcome.out).size(), 22U) << "21 trace lines and the value";
             struct stat about {};
             EXPECT_NE(::stat((directory / "stdout").c_str(), &about), 0) << "a file stdout";
         }},
        {"the trace on standard error is close-on-exec",
         "stderr",
         {"exec"},
         false,
         0,
         nullptr,
         [](const ProgramOutcome &outcome, const ScratchDirectory &directory) {
             EXPECT_EQ(occurrences(outcome.out, directory / ".stderr"), 1U)
                 << "only descriptor 2 left after exec: " << outcome.out;
         }},
        {"a trace file is close-on-exec",
         "trace",
         {"exec"},
         false,
         0,
         nullptr,
         [](const ProgramOutcome &outcome, const ScratchDirectory &directory) {
             EXPECT_EQ(occurrences(outcome.out, directory / "trace"), 0U)
                 << "left open after exec: " << outcome.out;
         }},
    };
    for (const HarmlessTraceCase &c : cases) {
        SCOPED_TRACE(c.name);
        const ScratchDirectory directory;
        ASSERT_EQ(::mkfifo((directory / "fifo").c_str(), 0600), 0);
        const bool reader_leaves = c.arguments == std::vector<std::string>{"wait"};
        if (reader_leaves)
            reader = ::open((directory / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ProgramRun run;
        run.arguments = {QPORT_TRANSFER_SUBJECT};
        run.arguments.insert(run.arguments.end(), c.arguments.begin(), c.arguments.end());
        const std::string destination =
            c.destination.find('/') == 0 || c.destination == "stdout" || c.destination == "stderr"
                ? c.destination
                : directory / c.destination;
        run.environment = {"PATH=/usr/bin:/bin", "QPORT_TRACE=" + destination};
        run.directory = directory.path();
        run.close_stdout = c.close_stdout;
        run.while_running = [&](int input) {
            if (!reader_leaves)
                return;
            // Once the program has opened the FIFO, a read finds no data
            // instead of its end; then the reader leaves and the program
            // goes on to transfer.
            char byte = 0;
            for (int tries = 0; tries < 5000 && ::read(reader, &byte, 1) != -1; ++tries)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            EXPECT_EQ(errno, EAGAIN) << "the program never opened the FIFO";
            ::close(reader);
            EXPECT_EQ(::write(input, "g", 1), 1);
        };
        const ProgramOutcome outcome = run_program(run);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
        if (!c.close_stdout) {
            EXPECT_NE(outcome.out.find("85\n"), std::string::npos) << outcome.out;
        }
        EXPECT_EQ(occurrences(outcome.err, "qport: "), c.message != nullptr ? 1U : 0U)
            << outcome.err;
        if (c.message != nullptr) {
            EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
        }
        if (c.check)
            c.check(outcome, directory);
    }
}

} // namespace
