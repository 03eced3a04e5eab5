// SPDX-License-Identifier: LGPL-2.1-or-later
// Threads on real instructions. Linux keeps port permission per thread and
// hands it only to threads created afterwards, so a thread that existed
// before the library was loaded with dlopen has none: unless the library
// asks for it on that thread's first transfer, the instruction faults and
// the program dies.
//
// This program is not linked to the library; it loads it at run time.
#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>

#include <gtest/gtest.h>

#include "guest_support.h"
#include "qport.h"
#include "qport_entry_names.h"
#include "qport_ext.h"

namespace {

using guest::expected_read;

constexpr const char *library_file = "libqport.so.1";
constexpr short parallel_data = 0x378;
constexpr short debug_console = 0x457A; // reads back 0xE9
constexpr int debugcon_read_back = -23;

struct Library {
    decltype(&inportb) read_byte = nullptr;
    decltype(&outportb) write_byte = nullptr;
    decltype(&qport_access_status) access_status = nullptr;
};

template <typename Function> Function bind(void *handle, const char *name)
{
    void *address = ::dlsym(handle, name);
    if (address == nullptr)
        throw std::runtime_error(std::string("no ") + name + " in " + library_file);
    return reinterpret_cast<Function>(address);
}

// Loads the library on first use, binding the transfers by their exported,
// type-decorated names.
const Library &library()
{
    static const Library loaded = [] {
        void *handle = ::dlopen(library_file, RTLD_NOW);
        if (handle == nullptr)
            throw std::runtime_error(::dlerror());
        bind<decltype(&qport_set_presenter)>(handle, "qport_set_presenter")(guest::record_notice,
                                                                            nullptr);
        Library bound;
        bound.read_byte = bind<decltype(&inportb)>(handle, qport::entry_names::inportb);
        bound.write_byte = bind<decltype(&outportb)>(handle, qport::entry_names::outportb);
        bound.access_status = bind<decltype(&qport_access_status)>(handle, "qport_access_status");
        return bound;
    }();
    return loaded;
}

qport_access expected_access()
{
    return guest::phase() == guest::Phase::granted ? QPORT_ACCESS_GRANTED
                                                   : QPORT_ACCESS_NO_PRIVILEGE;
}

TEST(Threads, AThreadFromBeforeTheLibraryWasLoadedTransfers)
{
    ASSERT_EQ(::dlopen(library_file, RTLD_NOW | RTLD_NOLOAD), nullptr) << "loaded too early";
    std::promise<const Library *> loaded;
    int read_back = 0;
    qport_access access = QPORT_ACCESS_OTHER;
    std::thread early([&read_back, &access, ready = loaded.get_future()]() mutable {
        const Library *qport = ready.get();
        if (qport == nullptr)
            return;
        // The transfer comes first: it, not a status query, must obtain
        // this thread's access.
        qport->write_byte(parallel_data, 0x33);
        read_back = qport->read_byte(parallel_data);
        access = qport->access_status();
    });
    try {
        loaded.set_value(&library());
    } catch (const std::exception &error) {
        loaded.set_value(nullptr);
        early.join();
        FAIL() << error.what();
    }
    early.join();
    EXPECT_EQ(read_back, expected_read(0x33));
    EXPECT_EQ(access, expected_access());
}

TEST(Threads, ThreadsCreatedAfterLoadingTransfer)
{
    const Library &qport = library();
    constexpr int thread_count = 4;
    constexpr int reads_each = 1000;
    std::atomic<int> wrong_reads{0};
    std::atomic<int> wrong_access{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < thread_count; ++i) {
        threads.emplace_back([&] {
            for (int read = 0; read < reads_each; ++read) {
                if (qport.read_byte(debug_console) != expected_read(debugcon_read_back))
                    ++wrong_reads;
            }
            if (qport.access_status() != expected_access())
                ++wrong_access;
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(wrong_reads.load(), 0);
    EXPECT_EQ(wrong_access.load(), 0);
}

// Last: all threads have made their transfers.
TEST(Threads, ARefusalIsToldOncePerProcess)
{
    EXPECT_EQ(guest::notices_ever("Port access refused"),
              guest::phase() == guest::Phase::granted ? 0 : 1);
}

} // namespace

int main(int argc, char **argv) { return guest::run_tests(argc, argv); }
