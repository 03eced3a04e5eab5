// Quorrel needs a privilege only for the moment qport asks the kernel for
// port access, which happens when the library is loaded, before main. The
// permission the kernel grants stays with the thread; the capability that
// obtained it is needed no more, so the program gives up every privilege
// before its window toolkit and that toolkit's libraries run.
#ifndef QUORREL_PRIVILEGES_H
#define QUORREL_PRIVILEGES_H

#include <system_error>

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

} // namespace quorrel

#endif
