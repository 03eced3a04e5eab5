// SPDX-License-Identifier: LGPL-2.1-or-later
// When qport-run follows exec on the simulated PC it makes one machine for
// the whole run, in a folder of the user's own, and stays as the program's
// parent to remove that folder when the program ends.
#ifndef QPORT_RUN_RUN_AS_PARENT_H
#define QPORT_RUN_RUN_AS_PARENT_H

#include <string>

namespace qport_run {

// A new folder that only this user may enter, in $XDG_RUNTIME_DIR when that
// is this user's own private folder, else in /tmp; removed, with whatever
// the run left in it, when the object goes.
class RunFolder {
public:
    // Empty path(), and errno set, if the folder could not be made.
    RunFolder();
    ~RunFolder();
    RunFolder(const RunFolder &) = delete;
    RunFolder &operator=(const RunFolder &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Runs PROGRAM as a child and waits for it to end, passing on to it the
// signals that other processes send qport-run (the terminal's reach the
// program as they reach qport-run). Returns the child's wait status, or -1
// with errno set if there was no child. A child that cannot execute PROGRAM
// says so on standard error and ends with 126, or 127 if it is not found.
int run_as_child(const char *program, char *const argv[], char *const envp[]);

// Ends qport-run as the program ended: with its exit status, or by the same
// signal (without a core dump of qport-run's own).
[[noreturn]] void end_as(int wait_status);

} // namespace qport_run

#endif
