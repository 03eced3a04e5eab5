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

// When a QPORT_SIM_ variable names a profile, peripheral, setting or
// refusal that the simulated build lacks (the library named it and what it
// can be on standard error), returns the usage status: a typo the user
// made, not a run on another PC than the one asked for.
// When QPORT_SIM_MACHINE names a machine that the loaded simulated build
// could not use (the library told why on standard error, and runs on a port
// space of this process's own), says that nothing is done and returns
// exit_machine_unusable: a script must not act on a machine it did not name.
// nullopt when the named machine is in use, none is named, or the hardware
// build is loaded.
std::optional<int> refuse_unusable_machine();

} // namespace qportio

#endif
