// SPDX-License-Identifier: LGPL-2.1-or-later
// What qport writes out of the process: the trace, the printer's paper and
// a recording (the recording in both builds), and its one-line messages on
// standard error. Everything
// on the transfer path here is async-signal-safe: no allocation, no locks,
// no stdio, errno left as it was found.
#ifndef QPORT_SIM_OUTPUT_H
#define QPORT_SIM_OUTPUT_H

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string_view>

#include <sys/types.h>

namespace qport::sim {

// Restores errno on leaving, so a transfer made in a signal handler leaves
// the interrupted code's errno alone.
class KeptErrno {
public:
    KeptErrno() : saved_(errno) {}
    ~KeptErrno() { errno = saved_; }
    KeptErrno(const KeptErrno &) = delete;
    KeptErrno &operator=(const KeptErrno &) = delete;

private:
    int saved_;
};

// A line of text built in place, cut short rather than overflowing.
class Line {
public:
    Line &text(std::string_view part);
    Line &hex(std::uint32_t value, unsigned digits);
    Line &decimal(std::uint64_t value, unsigned min_digits = 1);
    std::string_view view() const { return {buffer_, length_}; }

private:
    char buffer_[512] = {};
    std::size_t length_ = 0;
};

// Writes "qport: " and the line, ended by a newline, to standard error in
// one write.
void tell(const Line &line);

// The value of qport's environment variable name (QPORT_...), or null
// when it is unset or empty. Null too for a set-id or file-capability
// program (the loader's secure mode): the user who starts it must not steer
// it, so every QPORT_ variable is ignored there, in both builds, and the
// first one found set is named in one line on standard error.
const char *qport_variable(const char *name);

// Whether an output's path may end in a symbolic link. Following one that
// another user placed in a shared directory (/tmp) would let that user
// choose which file this process appends to, as this process's user.
enum class Links : std::uint8_t {
    // Not in a sticky, world-writable directory, as fs.protected_symlinks
    // has it; elsewhere the user's own links are followed.
    refused_in_shared_directories,
    // Never: the path comes from a machine file, which may name any path.
    refused,
};

// Who may read what an output writes into a file it creates.
enum class Readers : std::uint8_t {
    anyone, // mode 0644, as a log
    // Mode 0600, and a file that exists must be this user's: what a
    // recording holds (a clock's memory, a password a tool reads) is the
    // user's alone, and another user's file would hand it on.
    owner_only,
};

// Opens path with flags, relative to its directory as it stood when that
// was checked (so the check and the open see the same directory), not
// following a symbolic link where links says not to, creating it with the
// mode readers says. Opened without blocking (then made blocking unless
// flags asked for O_NONBLOCK), so a FIFO never holds the program up. A FIFO,
// socket or device must be this user's own, the process's standard stream,
// or a character device of root's (/dev/null). The descriptor, or -1 with
// errno set (EPERM: another user's FIFO, socket or device, or for
// owner_only another user's file).
int open_output_file(const char *path, int flags, Links links, Readers readers = Readers::anyone);

// An output that never harms the program it runs in: opened without
// blocking, never on descriptors 0 to 2, close-on-exec, and written without
// SIGPIPE. Its descriptor number stays the same from its first opening on,
// so that a thread still writing while it is reopened or closed writes to
// the new destination or to /dev/null, never to a file the program opened
// in the meantime. The first write that fails closes it and says so once.
class Output {
public:
    // what names it in messages: "the trace".
    constexpr Output(const char *what, Links links, Readers readers = Readers::anyone)
        : what_(what), links_(links), readers_(readers)
    {}

    // "stderr", "stdout" or a path, appended to (created as readers says
    // if missing). Returns 0, or -1 with errno set (ENXIO: a FIFO with no
    // reader; ELOOP: a symbolic link it may not follow); the output is then
    // left as it was.
    int open(const char *destination);
    void close();
    bool is_open() const { return open_.load(std::memory_order_relaxed); }
    void write(std::string_view bytes);

private:
    enum class Kind : std::uint8_t { plain, pipe, socket };

    const char *what_;
    Links links_;
    Readers readers_;
    std::atomic<int> fd_{-1};
    std::atomic<bool> open_{false};
    std::atomic<Kind> kind_{Kind::plain};
};

// The simulated build's trace (record.cpp).
extern Output trace;

} // namespace qport::sim

#endif
