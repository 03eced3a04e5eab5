// SPDX-License-Identifier: LGPL-2.1-or-later
// The replay device (replay.cpp): QPORT_SIM_REPLAY's recording played
// back to the program, a whole transfer at a time.
#ifndef QPORT_SIM_REPLAY_H
#define QPORT_SIM_REPLAY_H

#include <atomic>
#include <cstdint>

#include "machine.h"

namespace qport::sim {

struct Replay;
extern constinit std::atomic<Replay *> active_replay;

inline bool replaying() { return active_replay.load(std::memory_order_relaxed) != nullptr; }

// The next recorded transfer, which must be this one: a read answers its
// value, a write is checked against it. Once the program has diverged,
// reads give all ones and writes go nowhere. Async-signal-safe.
std::uint32_t replay_read(std::uint16_t port, unsigned width_bits);
void replay_write(std::uint16_t port, unsigned width_bits, std::uint32_t value);

// Reads the recording at path and puts the replay device on machine,
// answering every port. ignored_writes ("0x378,0x37a-0x37b", or null) are
// ports whose written values are not checked; exit_status (or null) is the
// status a process whose replay diverged ends with. A recording that
// cannot be read is told and counts as a divergence at its bad line.
void start_replay(Machine &machine, const char *path, const char *ignored_writes,
                  const char *exit_status);

} // namespace qport::sim

#endif
