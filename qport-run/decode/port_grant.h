// SPDX-License-Identifier: LGPL-2.1-or-later
// What ioperm() and iopl() have granted one thread, by the kernel's rules:
// a bitmap of ports from ioperm(), and the I/O privilege level from iopl(),
// of which level 3 grants every port. The preload keeps one per thread,
// copies it into threads the thread creates (fork copies it with the
// process), and hands it over in the environment to the program an exec
// starts with --follow-exec, as the kernel keeps both across exec.
//
// The memory of the bitmap comes from mmap(), never from malloc(): a grant
// is consulted in the trap and copied after vfork().
#ifndef QPORT_RUN_PORT_GRANT_H
#define QPORT_RUN_PORT_GRANT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qport_run {

constexpr unsigned long port_count = 0x10000;

// Trivially copyable and destructible, so that a thread_local one costs
// the trap nothing: copying it shares the bitmap; duplicate() and release()
// own it.
class PortGrant {
public:
    // The system calls' answers: 0, or the errno value the kernel gives
    // for these arguments. Permission itself is qport-run's to give, so
    // there is no EPERM; ENOMEM where no bitmap could be had.
    int ioperm(unsigned long from, unsigned long count, int turn_on);
    int iopl(int level);

    // Whether an instruction of width bytes at port may run: every one of
    // its ports granted, and none past 0xFFFF, as the processor checks.
    bool allows(std::uint16_t port, unsigned width_bytes) const;
    int level() const { return level_; }

    // A copy with a bitmap of its own, or nothing if none could be had.
    std::optional<PortGrant> duplicate() const;
    // Gives the bitmap back; the grant is empty afterwards.
    void release();

    // The grant as text for the environment: the level, then the ranges
    // of ports as hexadecimal FROM-TO, e.g. "0:378-37a,80-80" or "3".
    // written() tells how long it is; write() fills out, which has room for
    // written() + 1 bytes, and ends it with a NUL.
    std::size_t written() const;
    void write(char *out) const;
    // The grant that text describes, or nothing if it is malformed.
    static std::optional<PortGrant> parse(std::string_view text);

private:
    static constexpr std::size_t words = port_count / 64;
    bool granted(unsigned long port) const;
    template <typename Range> void for_each_range(Range range) const;

    int level_ = 0;
    std::uint64_t *bitmap_ = nullptr; // bit set: port granted
};

} // namespace qport_run

#endif
