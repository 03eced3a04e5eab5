// SPDX-License-Identifier: LGPL-2.1-or-later
// Transfers where a lock would deadlock: from a signal handler that
// interrupts a transfer, and in a child forked while other threads are in
// the middle of theirs. Each case runs in a child process of its own, so a
// deadlock fails it at its deadline instead of hanging the suite.
#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

#include <pthread.h>

#include <gtest/gtest.h>

#include "child_process.h"
#include "fresh_machine.h"
#include "qport.h"
#include "qport_sim.h"

namespace {

using TransfersInEveryContext = FreshMachine;

constexpr short handler_port = 0x37A; // the control register
std::atomic<int> handler_runs{0};

void transfer_in_handler(int)
{
    outportb(0x378, 0x11);
    if (inportb(0x378) != -1) // whatever it reads, the read completed
        handler_runs.fetch_add(1, std::memory_order_relaxed);
    outportb(handler_port, 0x15);
}

// Each of these threads transfers until told to stop.
class BusyThreads {
public:
    explicit BusyThreads(int count)
    {
        for (int t = 0; t < count; ++t)
            threads_.emplace_back([this, t] {
                const auto port = static_cast<short>(0x378 + 2 * t);
                for (int i = 0; !stop_.load(std::memory_order_relaxed); ++i) {
                    outportb(port, static_cast<char>(i));
                    inportw(port);
                }
            });
    }
    ~BusyThreads()
    {
        stop_ = true;
        for (auto &thread : threads_)
            thread.join();
    }
    BusyThreads(const BusyThreads &) = delete;
    BusyThreads &operator=(const BusyThreads &) = delete;
    pthread_t native(std::size_t i) { return threads_[i].native_handle(); }

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

int signals_interrupting_transfers()
{
    struct sigaction action {};
    action.sa_handler = transfer_in_handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGUSR1, &action, nullptr);
    constexpr int signals = 2000;
    {
        BusyThreads busy(1);
        for (int i = 0; i < signals; ++i) {
            ::pthread_kill(busy.native(0), SIGUSR1);
            if (i % 64 == 0)
                std::this_thread::yield();
        }
        // Signals to one thread may merge while pending; wait for the rest.
        for (int waits = 0; waits < 1000 && handler_runs.load() == 0; ++waits)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return handler_runs.load() > 0 && qport_sim_peek(handler_port) == 0xF5 ? 0 : 1;
}

int forks_while_threads_transfer()
{
    constexpr int children = 20;
    int finished = 0;
    BusyThreads busy(2);
    for (int i = 0; i < children; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            outportb(0x378, 0x5A);
            ::_exit(inportb(0x378) == 0x5A && qport_sim_transfers(nullptr, 0) > 0 ? 0 : 1);
        }
        if (wait_for(child, std::chrono::seconds(5)) == 0)
            ++finished;
    }
    return finished == children ? 0 : 1;
}

struct ContextCase {
    const char *name;
    int (*scenario)();
};

TEST_F(TransfersInEveryContext, NeitherDeadlockNorFail)
{
    const ContextCase cases[] = {
        {"a signal handler interrupting transfers transfers too", signals_interrupting_transfers},
        {"a child forked while two threads transfer transfers too", forks_while_threads_transfer},
    };
    for (const ContextCase &c : cases) {
        SCOPED_TRACE(c.name);
        const int status = in_child([&] {
            qport_sim_reset();
            return c.scenario();
        });
        EXPECT_NE(status, hung) << "deadlocked";
        EXPECT_EQ(status, 0);
    }
}

} // namespace
