// SPDX-License-Identifier: LGPL-2.1-or-later
// What the benchmarks share: timing a round of calls, and the median of the
// rounds, which every benchmark here reports as one slow round (a page
// fault, a preemption) moves it least.
#ifndef QPORT_BENCH_TIMING_H
#define QPORT_BENCH_TIMING_H

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

// The middle value, or the mean of the two middle ones; values non-empty.
inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Nanoseconds per call of call(0), call(1), ... call(calls - 1), on the
// steady clock.
template <typename Call> double ns_per_call(long calls, Call call)
{
    const auto start = std::chrono::steady_clock::now();
    for (long at = 0; at < calls; ++at)
        call(at);
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / static_cast<double>(calls);
}

#endif
