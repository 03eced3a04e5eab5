// SPDX-License-Identifier: LGPL-2.1-or-later
// The device files served on the simulated PC, in a program that
// qport-run --simulated runs: the kernel's parallel-port driver, ppdev,
// played for /dev/parportN and /proc/sys/dev/parport (ppdev.cpp,
// proc_tree.cpp), on open files that are descriptors of the program's own
// (descriptors.cpp), reached through their paths (paths.cpp).
#ifndef QPORT_RUN_DEVICE_FILES_H
#define QPORT_RUN_DEVICE_FILES_H

#include <cstddef>

#include "qport.h"

namespace qport_run {

// The simulated build's 8-bit transfers, as libqport.so.1 exports them.
using ReadPort = decltype(&::inportb);
using WritePort = decltype(&::outportb);

// Serves the ports of the simulated library loaded as library (a dlopen
// handle) from now on. Until it is called, and on the hardware build, every
// interposed call goes straight to the C library.
void serve_simulated_device_files(void *library, ReadPort read_port, WritePort write_port);

// The program's memory, reached by the preload directly with a fault
// answered (false) instead of taken: for a few bytes, cheaper than a system
// call. Not from within the trap.
bool read_program_memory(void *to, const void *from, std::size_t size);
bool write_program_memory(void *to, const void *from, std::size_t size);

} // namespace qport_run

#endif
