// SPDX-License-Identifier: LGPL-2.1-or-later
// The median of a benchmark's rounds: what every benchmark here reports,
// as one slow round (a page fault, a preemption) moves it least.
#ifndef QPORT_BENCH_MEDIAN_H
#define QPORT_BENCH_MEDIAN_H

#include <algorithm>
#include <cstddef>
#include <vector>

// The middle value, or the mean of the two middle ones; values non-empty.
inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

#endif
