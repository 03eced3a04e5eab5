// SPDX-License-Identifier: LGPL-2.1-or-later
// Linked into a Qt Widgets program, first_paint.cpp ends it as soon as its
// first window has been painted and handed to the platform, after printing
// that moment as "first-paint <CLOCK_REALTIME nanoseconds>" on standard
// output. bench/run-benchmarks compares it with the time it started the
// program, in the same way for Quorrel and for a minimal program.
#ifndef QPORT_BENCH_FIRST_PAINT_H
#define QPORT_BENCH_FIRST_PAINT_H

#include <functional>

// Runs after the first paint, before the program ends; nothing by default.
// Set it from a startup function (Q_COREAPP_STARTUP_FUNCTION).
std::function<void()> &afterFirstPaint();

#endif
