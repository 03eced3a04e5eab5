// SPDX-License-Identifier: LGPL-2.1-or-later
// Quorrel needs a privilege only for the moment qport asks the kernel for
// port access, which happens when the library is loaded, before main. The
// permission the kernel grants stays with the thread, and is root power: a
// process that holds it may reprogram any device. So before the window
// toolkit and its libraries run, Quorrel gives up every privilege, runs as
// the user who started it, and lets nothing of that user's choosing (options,
// plugin paths, configuration files) into the process.
#ifndef QUORREL_PRIVILEGES_H
#define QUORREL_PRIVILEGES_H

#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include <sys/types.h>

namespace quorrel {

// Gives up the calling thread's capabilities for good: the effective,
// permitted, inheritable and ambient sets are emptied, the bounding set too
// where the process may change it (it needs CAP_SETPCAP, which root has and
// a program given only CAP_SYS_RAWIO lacks), and no_new_privs keeps any
// program it starts from gaining privileges through set-user-ID bits or file
// capabilities. Capabilities belong to threads: call it while the process
// has one thread, before any library starts another.
// Returns the error of the first step that failed, or no error.
std::error_code dropPrivileges();

// The user a root process was started for, by sudo (SUDO_UID, SUDO_GID) or
// pkexec (PKEXEC_UID), or the real ids of a set-id start.
struct InvokingUser {
    uid_t uid;
    gid_t gid;
    // Whether the user's supplementary groups must be looked up: a root
    // process's own groups are root's.
    bool lookUpGroups;
};

// Whom a process with these ids and this environment should run as, or
// nothing when it already runs as its user (or as plain root, whom no
// variable names). A variable that is not a plain number, or names root, is
// not taken. lookupGid answers a uid's primary group (-1 when unknown).
using EnvironmentLookup = const char *(*)(const char *name);
using PrimaryGroupLookup = gid_t (*)(uid_t uid);
std::optional<InvokingUser> invokingUser(uid_t realUid, uid_t effectiveUid, gid_t realGid,
                                         gid_t effectiveGid, EnvironmentLookup environment,
                                         PrimaryGroupLookup primaryGroup);

// The environment a window needs and nothing else, from `environment`
// ("NAME=value" entries): display, session and locale variables whose values
// are well formed, the platform plugin by name; HOME pointing nowhere and a
// fixed PATH, so that no configuration file or program of the user's is
// found. userXauthority is used as XAUTHORITY when the environment names none
// (the cookie file in the user's real home).
std::vector<std::string> windowEnvironment(std::span<const char *const> environment,
                                           const std::string &userXauthority);

// Switches groups, gid and uid to the user's for good, then verifies that
// the old identity cannot be taken back.
std::error_code becomeUser(const InvokingUser &user);

// Which build of qport the program runs on: the simulated port space needs
// no privilege at all, the hardware's ports need one.
enum class PortSpace { hardware, simulated };

// What Quorrel does before its window toolkit starts: in secure mode (file
// capabilities or set-id) and under sudo or pkexec it replaces the
// environment with windowEnvironment(); it switches to the invoking user;
// then it drops every capability. Run as plain root it says on `warnings`
// that the window runs as root, and how to avoid that on portSpace, and goes
// on.
std::error_code startUnprivileged(std::ostream &warnings, PortSpace portSpace);

} // namespace quorrel

#endif
