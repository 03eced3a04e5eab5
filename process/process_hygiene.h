// SPDX-License-Identifier: LGPL-2.1-or-later
// What a process that held port permission, or could obtain it, does to
// leave it behind: shared by the library, qport-run (launcher and preload)
// and Quorrel, so that each step is written, and checked, once.
//
// Port permission and capabilities belong to threads: each call acts on the
// calling thread only. Every function here but the three that find files
// (own_path(), loaded_object_path(), installed_file_path()) is
// async-signal-safe (raw system calls, no allocation), so it may run between
// fork and exec or in a signal handler; display_missing() only reads the
// environment.
#ifndef QPORT_PROCESS_HYGIENE_H
#define QPORT_PROCESS_HYGIENE_H

#include <string>

namespace qport::process {

// Clears the calling thread's permission for every port (ioperm) and lowers
// its I/O privilege level to 0 (iopl); neither needs privilege, and a kernel
// without port access (ENOSYS) has none to give up. Returns 0, or the errno
// of the step that failed.
int give_up_port_permission() noexcept;

// Lowers the bounding set, capability by capability. Without CAP_SETPCAP the
// set stays as it is, and that is not an error: no_new_privs and an empty
// permitted set keep its capabilities out of reach. Returns 0 or an errno.
int empty_bounding_set() noexcept;

// Gives up every capability for good: no_new_privs (no gain through
// set-user-ID bits or file capabilities in what the thread executes), the
// ambient set cleared, the bounding set emptied where allowed, the
// effective, permitted and inheritable sets emptied. Then checked as it
// stands, not as it was asked for: a capability still held, no_new_privs not
// set, or root's bounding set not empty gives EPERM. Returns 0 or an errno.
int drop_every_capability() noexcept;

// Gives up one capability from every set of the calling thread (the bounding
// set where allowed, else no_new_privs does its work), checked as it stands
// afterwards. Returns 0 or an errno (EPERM when it is still there).
int drop_capability(unsigned capability) noexcept;

// Whether a window program would find no display: the platform is X11 (or
// unset) and neither DISPLAY nor WAYLAND_DISPLAY names one. Checked before
// Qt starts, which would abort with a message about its plugins instead.
bool display_missing() noexcept;

// The absolute path of the running program (/proc/self/exe), or an empty
// string when the kernel does not tell.
std::string own_path();

// The file of the loaded library that holds `address` (dladdr), or an empty
// string when the loader does not tell. Not for the program itself, which
// the loader names by its argv[0]: own_path() tells that one.
std::string loaded_object_path(const void *address);

// Where an installed file lies now, found from the program or library that
// names it, so that an install in any prefix, or moved since, names its own
// copy: `relative`, the file's path from the object's install directory,
// taken from the real directory of `object`, when a regular file is there;
// else `configured`, where the build was configured to install it (also
// what a build tree, with no installed files about it, names). Nothing but
// the object's own location steers it; the file is named, never opened.
std::string installed_file_path(const std::string &object, const char *relative,
                                const char *configured);

} // namespace qport::process

#endif
