// SPDX-License-Identifier: LGPL-2.1-or-later
// See empty_call.cpp.
#ifndef QPORT_BENCH_EMPTY_CALL_H
#define QPORT_BENCH_EMPTY_CALL_H

extern "C" int qport_bench_empty_call(short port);

#endif
