// SPDX-License-Identifier: LGPL-2.1-or-later
// What the attacker's code does once it runs inside Quorrel: it leaves a mark
// that it ran, then writes the debug console's port with a bare instruction,
// which works only if the process holds port permission. The host sees that
// byte, 0xEE, in the debug console and in QEMU's trace.
#ifndef QPORT_ATTACKER_PAYLOAD_H
#define QPORT_ATTACKER_PAYLOAD_H

#include <cstring>

#include <fcntl.h>
#include <sys/io.h>
#include <unistd.h>

// Where the attack program looks for the marks.
inline constexpr const char *attackerMarks = "/tmp/qport-attack/ran";

inline void runAttackerPayload(const char *name)
{
    const int marks = ::open(attackerMarks, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (marks >= 0) {
        static_cast<void>(::write(marks, name, std::strlen(name)));
        static_cast<void>(::write(marks, "\n", 1));
        ::close(marks);
    }
    ::outb(0xEE, 0x457A);
}

#endif
