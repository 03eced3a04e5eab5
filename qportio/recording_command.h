// SPDX-License-Identifier: LGPL-2.1-or-later
// qportio recording FILE: what a recording (QPORT_RECORD, qport-run
// --record) holds, and whether a replay can read it.
#ifndef QPORTIO_RECORDING_COMMAND_H
#define QPORTIO_RECORDING_COMMAND_H

#include <optional>
#include <span>

namespace qportio {

// The command's exit status, or nullopt when the arguments are not this
// command.
std::optional<int> run_recording_command(std::span<const char *const> arguments);

} // namespace qportio

#endif
