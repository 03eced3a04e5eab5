// SPDX-License-Identifier: LGPL-2.1-or-later
// qportio's exit statuses, as its help text and man page give them, and the
// two ways of ending that every command shares.
#ifndef QPORTIO_EXIT_STATUS_H
#define QPORTIO_EXIT_STATUS_H

namespace qportio {

constexpr int exit_done = 0;
constexpr int exit_output_failed = 1;
constexpr int exit_usage = 2;
constexpr int exit_access_refused = 3;
constexpr int exit_needs_simulated_build = 4;
constexpr int exit_machine_unusable = 5;
constexpr int exit_bad_recording = 6;
constexpr int exit_set_refused = 7;
constexpr int exit_memory_file = 8;         // memory load or save failed
constexpr int exit_description_refused = 9; // machine create: the description

// Says what was wrong with the command line, and where help is; returns
// exit_usage.
int usage_error(const char *text);

// Output that could not be written is a failure: a script would otherwise
// take an empty or cut result for a value. exit_done or exit_output_failed.
int finish_output();

} // namespace qportio

#endif
