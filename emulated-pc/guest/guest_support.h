// SPDX-License-Identifier: LGPL-2.1-or-later
// What the guest test programs share: the phase they run in, the reads it
// leads them to expect, a presenter that records notices instead of showing
// them, and a way to run a program and see what it printed.
#ifndef QPORT_GUEST_SUPPORT_H
#define QPORT_GUEST_SUPPORT_H

#include <functional>
#include <string>
#include <vector>

#include "kernel_command_line.h"

namespace guest {

// granted: the program runs as root and the library's access request
// succeeds. refused: it runs without CAP_SYS_RAWIO, so every transfer must
// be refused without a port instruction.
enum class Phase { granted, refused };

// From QPORT_GUEST_PHASE, which the guest's /init sets.
Phase phase();

// What a read must return in this phase: the device's value when access is
// granted, all bits set when it is refused.
int expected_read(int granted_value);

struct Notice {
    std::string title;
    std::string text;
};

// A qport_presenter: records the notice and answers 1, as a dismissed one
// does; the hook set below runs first, inside the notice.
int record_notice(const char *title, const char *text, void *user_data);

// Notices recorded since the last clear.
std::vector<Notice> notices();
void clear_notices();
// Notices with this title over the whole run, clears notwithstanding.
int notices_ever(const std::string &title);
// Runs inside each later notice until cleared with an empty function.
void set_notice_hook(std::function<void(const Notice &)> hook);

// How a program run by run_program ended: its exit status (128 + the
// signal for one that was killed), what it wrote, and how long it took.
struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    double seconds = 0;
};

// Runs command[0] (a path) with the rest as its arguments and waits for it.
// The programs run this way write little, so standard output and standard
// error are read one after the other.
Outcome run_program(const std::vector<std::string> &command);

// Runs the program's tests after checking the phase and that it inherited
// no descriptor beyond 0..2; for main().
int run_tests(int argc, char **argv);
// The same for a program of the parport phase, run as a user in group lp
// (QPORT_GUEST_PHASE=lp-member) and as one not (refused), and of the
// lockdown phase, run as root in a locked-down kernel (lockdown).
int run_parport_tests(int argc, char **argv);
// The same for the program of the record phase, run as root
// (QPORT_GUEST_PHASE=record).
int run_record_tests(int argc, char **argv);

} // namespace guest

#endif
