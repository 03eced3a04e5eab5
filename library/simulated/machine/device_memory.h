// SPDX-License-Identifier: LGPL-2.1-or-later
// Memories of devices that do not fit a device's slot: a flash chip's
// contents. A private machine keeps each one in this process's memory; a
// shared machine keeps it in a file beside the machine file,
// MACHINEPATH.memory-NAME, mapped shared so that every process sees one
// memory, and used under the machine file's rules: never through a symbolic
// link, a regular file of this user's own with mode 0600, of the exact size.
#ifndef QPORT_SIM_DEVICE_MEMORY_H
#define QPORT_SIM_DEVICE_MEMORY_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "machine.h"

namespace qport::sim {

constexpr std::size_t memory_name_capacity = 32;
constexpr std::size_t memory_size_limit = std::size_t{16} << 20;

// What a device says it keeps: its memory's name ("lpt1-w25q80"), its size,
// and what a new memory holds in every byte (0xFF: an erased flash).
struct MemoryNeed {
    char name[memory_name_capacity];
    std::uint32_t size;
    std::uint8_t fill;
};

// A memory as this process reaches it; bytes is null for none.
struct DeviceMemory {
    std::atomic<std::uint8_t> *bytes;
    std::size_t size;
};

// The machine's memory as need names it, mapped (or made) now if this
// process has not yet: async-signal-safe (system calls into fixed buffers
// and lock-free publication), so a transfer may be the first to reach it.
// On refusal, says why in one line on standard error (once per process and
// memory) and gives no memory.
DeviceMemory memory_of(const Machine &machine, const MemoryNeed &need);

// Every memory the machine's devices keep, in slot order; false past the
// last.
bool machine_memory(Machine &machine, std::size_t index, MemoryNeed &need);

// Maps every memory of the machine, telling a refusal in one line each: what
// opening a machine does, so that trouble shows at once.
void attach_machine_memories(Machine &machine);

} // namespace qport::sim

#endif
