// SPDX-License-Identifier: LGPL-2.1-or-later
// Transfers on the simulated PC, side by side with an empty call into a
// shared library (the floor of any library call): on a port that no device
// decodes (the inline fast path) with nothing noted, with the in-memory
// record, and with the trace written to /dev/null; on the parallel port's
// data latch, through its device; then one thread against two on
// different ports; then reads of the real-time clock's registers.
#include <csignal>
#include <cstdlib>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "empty_call.h"
#include "qport.h"
#include "qport_sim.h"

namespace {

constexpr short unowned_port = 0x300;
constexpr short data_port = 0x378;

enum Noting : int { nothing_noted = 0, recorded = 1, traced = 2 };

void note(benchmark::State &state, int noting)
{
    qport_sim_record_transfers(noting == recorded ? 1 : 0);
    if (noting == traced && qport_sim_trace_to("/dev/null") != 0)
        state.SkipWithError("cannot open /dev/null for the trace");
    state.SetLabel(noting == nothing_noted ? "trace off"
                   : noting == recorded    ? "recorded"
                                           : "traced to /dev/null");
}

void stop_noting()
{
    qport_sim_trace_to(nullptr);
    qport_sim_record_transfers(0);
}

void empty_call(benchmark::State &state)
{
    short port = data_port;
    for (auto _ : state)
        benchmark::DoNotOptimize(qport_bench_empty_call(port));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(empty_call);

// One transfer per iteration.
template <typename Transfer> void transfers(benchmark::State &state, Transfer transfer)
{
    note(state, static_cast<int>(state.range(0)));
    int counter = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(transfer(counter++));
    state.SetItemsProcessed(state.iterations());
    stop_noting();
}

BENCHMARK_CAPTURE(transfers, inportb, [](int) { return inportb(unowned_port); })
    ->Arg(nothing_noted)
    ->Arg(recorded)
    ->Arg(traced);
BENCHMARK_CAPTURE(transfers, inportw, [](int) {
    return inportw(unowned_port);
})->Arg(nothing_noted);
BENCHMARK_CAPTURE(transfers, inport, [](int) { return inport(unowned_port); })->Arg(nothing_noted);
BENCHMARK_CAPTURE(transfers, outportb,
                  [](int i) {
                      outportb(unowned_port, static_cast<char>(i));
                      return i;
                  })
    ->Arg(nothing_noted)
    ->Arg(recorded)
    ->Arg(traced);
BENCHMARK_CAPTURE(transfers, outport, [](int i) {
    outport(unowned_port, i);
    return i;
})->Arg(nothing_noted);
BENCHMARK_CAPTURE(transfers, inportb_data_latch, [](int) {
    return inportb(data_port);
})->Arg(nothing_noted);
BENCHMARK_CAPTURE(transfers, outportb_data_latch, [](int i) {
    outportb(data_port, static_cast<char>(i));
    return i;
})->Arg(nothing_noted);

// Each thread reads and writes a device of its own (the parallel port's
// data latch, the POST code port), whose states lie in different slots of
// the machine; items per second are over wall time, so two threads that
// never wait for each other make twice as many as one.
void threads_on_own_ports(benchmark::State &state)
{
    constexpr short ports[] = {0x378, 0x80};
    const short port = ports[state.thread_index() % 2];
    if (state.thread_index() == 0)
        note(state, static_cast<int>(state.range(0)));
    int counter = 0;
    for (auto _ : state) {
        outportb(port, static_cast<char>(counter++));
        benchmark::DoNotOptimize(inportb(port));
    }
    state.SetItemsProcessed(2 * state.iterations());
    if (state.thread_index() == 0)
        stop_noting();
}
BENCHMARK(threads_on_own_ports)->Arg(nothing_noted)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(threads_on_own_ports)->Arg(recorded)->Threads(1)->Threads(2)->UseRealTime();

// One read of the real-time clock's data port, its index set beforehand:
// the seconds and register A are worked out from the host's clock, a
// memory byte is a load.
void rtc_register_read(benchmark::State &state)
{
    constexpr short rtc_index_port = 0x70;
    constexpr short rtc_data_port = 0x71;
    const auto index = static_cast<char>(state.range(0));
    state.SetLabel(index == 0x00 ? "seconds" : index == 0x0A ? "register A" : "memory byte");
    outportb(rtc_index_port, index);
    for (auto _ : state)
        benchmark::DoNotOptimize(inportb(rtc_data_port));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(rtc_register_read)->Arg(0x00)->Arg(0x0A)->Arg(0x40);

// Devices of a program's own: a byte read from a device attached in this
// process (its callback returns a constant), to set against transfers/inportb
// on an unowned port; and the round trip to a device server in another
// process on a shared machine, nothing recorded.
constexpr short own_device_port = 0x310;

std::uint8_t constant_read(void * /*user*/, const qport_sim_port_access * /*access*/)
{
    return 0x5A;
}

void attached_device_read(benchmark::State &state)
{
    qport_sim_record_transfers(0);
    const int handle = qport_sim_attach_device(own_device_port, 1, constant_read, nullptr, nullptr);
    if (handle < 0)
        state.SkipWithError("cannot attach a device at 0x310");
    for (auto _ : state)
        benchmark::DoNotOptimize(inportb(own_device_port));
    state.SetItemsProcessed(state.iterations());
    qport_sim_detach_device(handle);
}
BENCHMARK(attached_device_read);

void served_device_read(benchmark::State &state)
{
    char directory[] = "/tmp/qport-bench-XXXXXX";
    if (::mkdtemp(directory) == nullptr) {
        state.SkipWithError("no scratch directory");
        return;
    }
    const std::string machine = std::string(directory) + "/machine";
    qport_sim_use_machine(machine.c_str());
    qport_sim_record_transfers(0);
    const pid_t server = ::fork();
    if (server == 0) {
        qport_sim_server *serving =
            qport_sim_serve_ports(own_device_port, 1, constant_read, nullptr, nullptr);
        while (serving != nullptr)
            qport_sim_server_dispatch(serving, -1);
        ::_exit(1);
    }
    // Until the server has taken the port.
    for (int i = 0; i < 1000 && inportb(own_device_port) != 0x5A; ++i)
        ::usleep(5000);
    if (inportb(own_device_port) != 0x5A)
        state.SkipWithError("the device server did not start");
    for (auto _ : state)
        benchmark::DoNotOptimize(inportb(own_device_port));
    state.SetItemsProcessed(state.iterations());
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
    qport_sim_use_machine(nullptr);
    std::system((std::string("rm -rf ") + directory).c_str());
}
BENCHMARK(served_device_read)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
