// SPDX-License-Identifier: LGPL-2.1-or-later
// Transfers per second on the simulated port space, with the trace off and
// on. Every transfer is recorded in memory either way; "trace on" adds the
// line written to a file.
#include <benchmark/benchmark.h>

#include "qport.h"
#include "qport_sim.h"

namespace {

constexpr short data_port = 0x378;

// One transfer per iteration; the trace goes to /dev/null when the
// benchmark's argument is 1.
template <typename Transfer> void transfers(benchmark::State &state, Transfer transfer)
{
    const bool trace = state.range(0) != 0;
    if (trace && qport_sim_trace_to("/dev/null") != 0)
        state.SkipWithError("cannot open /dev/null for the trace");
    state.SetLabel(trace ? "trace on" : "trace off");
    int counter = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(transfer(counter++));
    state.SetItemsProcessed(state.iterations());
    qport_sim_trace_to(nullptr);
}

BENCHMARK_CAPTURE(transfers, inportb, [](int) { return inportb(data_port); })->Arg(0)->Arg(1);
BENCHMARK_CAPTURE(transfers, inportw, [](int) { return inportw(data_port); })->Arg(0)->Arg(1);
BENCHMARK_CAPTURE(transfers, inport, [](int) { return inport(data_port); })->Arg(0)->Arg(1);
BENCHMARK_CAPTURE(transfers, outportb,
                  [](int i) {
                      outportb(data_port, static_cast<char>(i));
                      return i;
                  })
    ->Arg(0)
    ->Arg(1);

} // namespace

BENCHMARK_MAIN();
