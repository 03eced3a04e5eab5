// SPDX-License-Identifier: LGPL-2.1-or-later
// The trace and the printer's paper: see outputs.h.
#include "outputs.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/auxv.h>
#include <unistd.h>

namespace qport::sim {

namespace {

// Opening and closing are rare and never on the transfer path; the lock
// keeps two of them from racing over the first descriptor number.
constinit std::mutex reopen_mutex;

constexpr int first_free_descriptor = 3;

// A directory anyone may create files in, but only their owners remove:
// /tmp and its kind, where another user may have put a link in advance.
bool is_shared_directory(int directory)
{
    struct stat about {};
    return ::fstat(directory, &about) == 0 && (about.st_mode & S_ISVTX) != 0 &&
           (about.st_mode & S_IWOTH) != 0;
}

// The descriptor for destination, at 3 or above and close-on-exec.
int open_descriptor(const char *destination, Links links, Readers readers)
{
    if (std::strcmp(destination, "stderr") == 0)
        return ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, first_free_descriptor);
    if (std::strcmp(destination, "stdout") == 0)
        return ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, first_free_descriptor);
    // O_NONBLOCK so that a FIFO with no reader fails with ENXIO instead of
    // waiting for one.
    const int opened = open_output_file(
        destination, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, links,
        readers);
    if (opened < 0)
        return -1;
    int fd = opened;
    if (opened < first_free_descriptor) {
        // Descriptor 0, 1 or 2 was closed: taking it would make the
        // program's own output go into this file.
        fd = ::fcntl(opened, F_DUPFD_CLOEXEC, first_free_descriptor);
        const int error = errno;
        ::close(opened);
        errno = error;
        if (fd < 0)
            return -1;
    }
    // Once open, writes block as on any pipe, so no line is lost to a slow
    // reader.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

} // namespace

namespace {

// The same file as one of the process's standard streams, which it was
// given by whoever started it and may write to as it likes.
bool is_standard_stream(const struct stat &about)
{
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        struct stat standard {};
        if (::fstat(stream, &standard) == 0 && standard.st_dev == about.st_dev &&
            standard.st_ino == about.st_ino)
            return true;
    }
    return false;
}

// Whether this process may use what it opened. A FIFO, a socket or a
// device hands what is written to whoever reads its other end, so one must
// be this user's own, or be one of the process's standard streams; a
// character device of the system's (root's: /dev/null, /dev/tty) is fine.
// A regular file must be this user's where only its owner may read it.
bool is_usable(const struct stat &about, Readers readers)
{
    const bool own = about.st_uid == ::geteuid();
    if (S_ISREG(about.st_mode) || S_ISDIR(about.st_mode))
        return own || readers == Readers::anyone;
    if (own || is_standard_stream(about))
        return true;
    return S_ISCHR(about.st_mode) && about.st_uid == 0;
}

} // namespace

int open_output_file(const char *path, int flags, Links links, Readers readers)
{
    const mode_t mode = readers == Readers::owner_only ? 0600 : 0644;
    if (links == Links::refused)
        flags |= O_NOFOLLOW;
    // Never waiting on the way in: a FIFO without its other end fails at
    // once (ENXIO when written) instead of hanging the program.
    const bool nonblocking = (flags & O_NONBLOCK) != 0;
    flags |= O_NONBLOCK;
    const char *slash = std::strrchr(path, '/');
    const std::string directory_path =
        slash == nullptr ? "." : (slash == path ? "/" : std::string(path, slash));
    const char *name = slash == nullptr ? path : slash + 1;
    int fd = -1;
    if (*name == '\0') {
        fd = ::open(path, flags, mode); // a directory: let open say so
    } else {
        const int directory = ::open(directory_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (directory < 0)
            return -1;
        if (is_shared_directory(directory))
            flags |= O_NOFOLLOW;
        fd = ::openat(directory, name, flags, mode);
        const int error = errno;
        ::close(directory);
        errno = error;
    }
    if (fd < 0)
        return -1;
    struct stat about {};
    if (::fstat(fd, &about) != 0 || !is_usable(about, readers)) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    if (!nonblocking) {
        const int status = ::fcntl(fd, F_GETFL);
        if (status >= 0)
            ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    }
    return fd;
}

const char *qport_variable(const char *name)
{
    if (::getauxval(AT_SECURE) == 0) {
        const char *value = ::secure_getenv(name);
        return value != nullptr && *value != '\0' ? value : nullptr;
    }
    static constinit std::atomic<bool> told{false};
    const char *ignored = std::getenv(name);
    if (ignored != nullptr && *ignored != '\0' && !told.exchange(true)) {
        Line line;
        tell(line.text("this program runs set-id or with file capabilities, so ")
                 .text(name)
                 .text(" and every other QPORT_ variable of its environment are ignored"));
    }
    return nullptr;
}

Line &Line::text(std::string_view part)
{
    for (const char c : part) {
        if (length_ == sizeof buffer_)
            break;
        buffer_[length_++] = c;
    }
    return *this;
}

Line &Line::hex(std::uint32_t value, unsigned digits)
{
    char reversed[8];
    // A 32-bit value has 8 digits: a wider request (a record's corrupt
    // width) is cut there rather than read past the digits made.
    digits = std::min<unsigned>(digits, sizeof reversed);
    for (unsigned i = 0; i < digits; ++i) {
        reversed[i] = "0123456789abcdef"[value & 0xFU];
        value >>= 4;
    }
    for (unsigned i = digits; i > 0; --i)
        text(std::string_view(&reversed[i - 1], 1));
    return *this;
}

Line &Line::decimal(std::uint64_t value, unsigned min_digits)
{
    char reversed[20];
    unsigned count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 || count < min_digits);
    for (unsigned i = count; i > 0; --i)
        text(std::string_view(&reversed[i - 1], 1));
    return *this;
}

void tell(const Line &line)
{
    const KeptErrno kept;
    // One write, so lines of several threads never mix; the newline is
    // its own part, so a line cut short still ends.
    const std::string_view text = line.view();
    iovec parts[] = {{const_cast<char *>("qport: "), 7},
                     {const_cast<char *>(text.data()), text.size()},
                     {const_cast<char *>("\n"), 1}};
    [[maybe_unused]] const ssize_t written = ::writev(STDERR_FILENO, parts, 3);
}

int Output::open(const char *destination)
{
    const int fd = open_descriptor(destination, links_, readers_);
    if (fd < 0)
        return -1;
    struct stat about {};
    Kind kind = Kind::plain;
    if (::fstat(fd, &about) == 0) {
        if (S_ISFIFO(about.st_mode))
            kind = Kind::pipe;
        else if (S_ISSOCK(about.st_mode))
            kind = Kind::socket;
    }
    const std::lock_guard lock(reopen_mutex);
    if (fd_.load() < 0) {
        fd_.store(fd);
    } else {
        // In one step, so a concurrent writer sees the old destination or
        // the new one, never a closed or reused number.
        ::dup3(fd, fd_.load(), O_CLOEXEC);
        ::close(fd);
    }
    kind_.store(kind);
    open_.store(true, std::memory_order_release);
    return 0;
}

void Output::close()
{
    const std::lock_guard lock(reopen_mutex);
    open_.store(false);
    if (fd_.load() < 0)
        return;
    // The old destination is let go (a FIFO's reader sees its end) while
    // the number stays taken, by /dev/null.
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup3(null, fd_.load(), O_CLOEXEC);
        ::close(null);
    }
}

void Output::write(std::string_view bytes)
{
    if (!open_.load(std::memory_order_acquire))
        return;
    const KeptErrno kept;
    const int fd = fd_.load(std::memory_order_relaxed);
    const Kind kind = kind_.load(std::memory_order_relaxed);

    // A pipe whose reader has gone raises SIGPIPE in the writing thread:
    // blocked here, and taken back if this write raised it.
    sigset_t pipe_signal;
    sigset_t previous_mask;
    bool pipe_signal_was_pending = false;
    if (kind == Kind::pipe) {
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous_mask);
        sigset_t pending;
        pipe_signal_was_pending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    int error = 0;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written =
            kind == Kind::socket
                ? ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                : ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            error = written < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    if (kind == Kind::pipe) {
        if (error == EPIPE && !pipe_signal_was_pending) {
            const timespec no_wait{};
            sigtimedwait(&pipe_signal, nullptr, &no_wait);
        }
        pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    }
    if (error != 0 && open_.exchange(false)) {
        Line line;
        if (error == EPIPE)
            line.text("the reader of ").text(what_).text(" has gone; ");
        else
            line.text("cannot write ")
                .text(what_)
                .text(": ")
                .text(strerrordesc_np(error))
                .text("; ");
        tell(line.text(what_).text(" is stopped"));
    }
}

} // namespace qport::sim
