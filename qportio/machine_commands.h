// SPDX-License-Identifier: LGPL-2.1-or-later
// qportio's commands for the simulated PC's machine: reset it, show it.
#ifndef QPORTIO_MACHINE_COMMANDS_H
#define QPORTIO_MACHINE_COMMANDS_H

#include <optional>
#include <span>

namespace qportio {

// Runs "reset" or "show" when the arguments (without the program name)
// begin with one and returns its exit status; nullopt for any other command.
std::optional<int> run_machine_command(std::span<const char *const> arguments);

} // namespace qportio

#endif
