// SPDX-License-Identifier: LGPL-2.1-or-later
// The floor of any call into a shared library: a function that does nothing,
// called through the PLT as a program calls qport's entry points.
#include "empty_call.h"

extern "C" __attribute__((visibility("default"), noinline)) int qport_bench_empty_call(short port)
{
    return port;
}
