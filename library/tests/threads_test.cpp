// SPDX-License-Identifier: LGPL-2.1-or-later
// Transfers from threads: one that existed before the library was loaded
// with dlopen (Linux gives it no port permission of its own), and ones
// created afterwards. This program is not linked with qport; it loads the
// build named by its test parameter.
#include <dlfcn.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qport_entry_names.h"
#include "qport_ext.h"

namespace {

struct Library {
    void *handle = nullptr;
    char (*inportb)(short) = nullptr;
    void (*outportb)(short, char) = nullptr;
    qport_access (*access_status)() = nullptr;
    void (*set_presenter)(qport_presenter, void *) = nullptr;
};

Library load(const char *path)
{
    Library library;
    library.handle = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library.handle == nullptr)
        return library;
    library.inportb =
        reinterpret_cast<char (*)(short)>(::dlsym(library.handle, qport::entry_names::inportb));
    library.outportb = reinterpret_cast<void (*)(short, char)>(
        ::dlsym(library.handle, qport::entry_names::outportb));
    library.access_status =
        reinterpret_cast<qport_access (*)()>(::dlsym(library.handle, "qport_access_status"));
    library.set_presenter = reinterpret_cast<void (*)(qport_presenter, void *)>(
        ::dlsym(library.handle, "qport_set_presenter"));
    return library;
}

int silent_presenter(const char *, const char *, void *) { return 1; }

// What a thread saw: its access, and the byte it read back after writing
// 0x5A to the data latch at 0x378.
struct Outcome {
    qport_access access = QPORT_ACCESS_OTHER;
    int read_back = 0;
};

Outcome transfer_from_this_thread(const Library &library)
{
    Outcome outcome;
    outcome.access = library.access_status();
    // Where the kernel grants access, only the simulated build may transfer
    // on this machine: hardware transfers run only inside the emulated PC.
    const bool simulated = ::dlsym(library.handle, "qport_sim_reset") != nullptr;
    if (outcome.access == QPORT_ACCESS_GRANTED && !simulated)
        return outcome;
    library.outportb(0x378, 0x5A);
    outcome.read_back = static_cast<signed char>(library.inportb(0x378));
    return outcome;
}

class ThreadsAroundDlopen : public ::testing::TestWithParam<const char *> {};

TEST_P(ThreadsAroundDlopen, EveryThreadTransfersOrIsRefusedCleanly)
{
    std::mutex mutex;
    std::condition_variable loaded_signal;
    bool loaded = false;
    Library library;
    Outcome earlier_thread_outcome;

    std::thread earlier_thread([&] {
        std::unique_lock lock(mutex);
        loaded_signal.wait(lock, [&] { return loaded; });
        earlier_thread_outcome = transfer_from_this_thread(library);
    });

    {
        const std::lock_guard lock(mutex);
        library = load(GetParam());
        loaded = true;
    }
    loaded_signal.notify_one();
    earlier_thread.join();
    ASSERT_NE(library.handle, nullptr) << ::dlerror();
    library.set_presenter(silent_presenter, nullptr);

    Outcome later_thread_outcome;
    std::thread([&] { later_thread_outcome = transfer_from_this_thread(library); }).join();

    const Outcome loader_outcome = transfer_from_this_thread(library);
    for (const Outcome &outcome : {earlier_thread_outcome, later_thread_outcome, loader_outcome}) {
        if (outcome.access == QPORT_ACCESS_GRANTED) {
            if (::dlsym(library.handle, "qport_sim_reset") != nullptr) {
                EXPECT_EQ(outcome.read_back, 0x5A);
            }
        } else {
            EXPECT_EQ(outcome.read_back, -1) << "a refused read gives all ones";
        }
    }
    EXPECT_EQ(earlier_thread_outcome.access, loader_outcome.access);
    EXPECT_EQ(later_thread_outcome.access, loader_outcome.access);
}

INSTANTIATE_TEST_SUITE_P(Builds, ThreadsAroundDlopen,
                         ::testing::Values(QPORT_SIMULATED_LIBRARY, QPORT_HARDWARE_LIBRARY),
                         [](const auto &param_info) {
                             return std::string(param_info.index == 0 ? "Simulated" : "Hardware");
                         });

} // namespace
