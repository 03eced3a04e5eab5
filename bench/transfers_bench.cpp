// Transfers per second on the simulated port space, with the trace off and
// on. Every transfer is recorded in memory either way; "trace on" adds the
// line written to a file.
#include <cstdio>

#include <benchmark/benchmark.h>

#include "qport.h"
#include "qport_sim.h"

namespace {

constexpr short data_port = 0x378;

void with_trace(benchmark::State &state)
{
    const bool trace = state.range(0) != 0;
    if (trace && qport_sim_trace_to("/dev/null") != 0)
        state.SkipWithError("cannot open /dev/null for the trace");
    state.SetLabel(trace ? "trace on" : "trace off");
}

void stop_trace() { qport_sim_trace_to(nullptr); }

void BM_inportb(benchmark::State &state)
{
    with_trace(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(inportb(data_port));
    state.SetItemsProcessed(state.iterations());
    stop_trace();
}

void BM_inportw(benchmark::State &state)
{
    with_trace(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(inportw(data_port));
    state.SetItemsProcessed(state.iterations());
    stop_trace();
}

void BM_inport(benchmark::State &state)
{
    with_trace(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(inport(data_port));
    state.SetItemsProcessed(state.iterations());
    stop_trace();
}

void BM_outportb(benchmark::State &state)
{
    with_trace(state);
    char value = 0;
    for (auto _ : state)
        outportb(data_port, value++);
    state.SetItemsProcessed(state.iterations());
    stop_trace();
}

BENCHMARK(BM_inportb)->Arg(0)->Arg(1);
BENCHMARK(BM_inportw)->Arg(0)->Arg(1);
BENCHMARK(BM_inport)->Arg(0)->Arg(1);
BENCHMARK(BM_outportb)->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
