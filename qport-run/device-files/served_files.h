// SPDX-License-Identifier: LGPL-2.1-or-later
// What the device files served on the simulated PC share (see
// device_files.h): the C library's own definitions, the machine's
// transfers, the program's memory reached safely, waiting as the kernel
// waits, and open files that are real descriptors of the program's own.
// Everything here may run in a signal handler or between fork and exec,
// as the program's own calls do: async-signal-safe.
#ifndef QPORT_RUN_SERVED_FILES_H
#define QPORT_RUN_SERVED_FILES_H

#include <array>
#include <cerrno>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include "device_files.h"
#include "interposing.h"
#include "qport_sim.h"

namespace qport_run::served {

// ---------------------------------------------------------------- the C library's own
using open_function = int (*)(const char *, int, ...);
using openat_function = int (*)(int, const char *, int, ...);
using open_2_function = int (*)(const char *, int);
using openat_2_function = int (*)(int, const char *, int);
using fopen_function = FILE *(*)(const char *, const char *);
using stat_function = int (*)(const char *, struct stat *);
using fstatat_function = int (*)(int, const char *, struct stat *, int);
using stat64_function = int (*)(const char *, struct stat64 *);
using fstatat64_function = int (*)(int, const char *, struct stat64 *, int);
using xstat64_function = int (*)(int, const char *, struct stat64 *);
using fxstatat64_function = int (*)(int, int, const char *, struct stat64 *, int);
using xstat_function = int (*)(int, const char *, struct stat *);
using fxstatat_function = int (*)(int, int, const char *, struct stat *, int);
using statx_function = int (*)(int, const char *, int, unsigned, struct statx *);
using fstat_function = int (*)(int, struct stat *);
using fstat64_function = int (*)(int, struct stat64 *);
using fxstat_function = int (*)(int, int, struct stat *);
using fxstat64_function = int (*)(int, int, struct stat64 *);
using access_function = int (*)(const char *, int);
using opendir_function = DIR *(*)(const char *);
using ioctl_function = int (*)(int, unsigned long, ...);
using read_function = ssize_t (*)(int, void *, std::size_t);
using write_function = ssize_t (*)(int, const void *, std::size_t);
using close_function = int (*)(int);
using dup_function = int (*)(int);
using dup2_function = int (*)(int, int);
using dup3_function = int (*)(int, int, int);
using fcntl_function = int (*)(int, int, ...);
using lseek_function = off64_t (*)(int, off64_t, int);
using pread_function = ssize_t (*)(int, void *, std::size_t, off64_t);
using pwrite_function = ssize_t (*)(int, const void *, std::size_t, off64_t);
using readv_function = ssize_t (*)(int, const struct iovec *, int);
using preadv_function = ssize_t (*)(int, const struct iovec *, int, off64_t);
using preadv2_function = ssize_t (*)(int, const struct iovec *, int, off64_t, int);

QPORT_RUN_LIBC(open, open_function)
QPORT_RUN_LIBC(open64, open_function)
QPORT_RUN_LIBC(openat, openat_function)
QPORT_RUN_LIBC(openat64, openat_function)
QPORT_RUN_LIBC(__open_2, open_2_function)
QPORT_RUN_LIBC(__open64_2, open_2_function)
QPORT_RUN_LIBC(__openat_2, openat_2_function)
QPORT_RUN_LIBC(__openat64_2, openat_2_function)
QPORT_RUN_LIBC(fopen, fopen_function)
QPORT_RUN_LIBC(fopen64, fopen_function)
QPORT_RUN_LIBC(stat, stat_function)
QPORT_RUN_LIBC(stat64, stat64_function)
QPORT_RUN_LIBC(lstat, stat_function)
QPORT_RUN_LIBC(lstat64, stat64_function)
QPORT_RUN_LIBC(fstatat, fstatat_function)
QPORT_RUN_LIBC(fstatat64, fstatat64_function)
QPORT_RUN_LIBC_COMPAT(__xstat, xstat_function)
QPORT_RUN_LIBC_COMPAT(__xstat64, xstat64_function)
QPORT_RUN_LIBC_COMPAT(__lxstat, xstat_function)
QPORT_RUN_LIBC_COMPAT(__lxstat64, xstat64_function)
QPORT_RUN_LIBC_COMPAT(__fxstatat, fxstatat_function)
QPORT_RUN_LIBC_COMPAT(__fxstatat64, fxstatat64_function)
QPORT_RUN_LIBC(statx, statx_function)
QPORT_RUN_LIBC(fstat, fstat_function)
QPORT_RUN_LIBC(fstat64, fstat64_function)
QPORT_RUN_LIBC_COMPAT(__fxstat, fxstat_function)
QPORT_RUN_LIBC_COMPAT(__fxstat64, fxstat64_function)
QPORT_RUN_LIBC(access, access_function)
QPORT_RUN_LIBC(opendir, opendir_function)
QPORT_RUN_LIBC(ioctl, ioctl_function)
QPORT_RUN_LIBC(read, read_function)
QPORT_RUN_LIBC(write, write_function)
QPORT_RUN_LIBC(close, close_function)
QPORT_RUN_LIBC(dup, dup_function)
QPORT_RUN_LIBC(dup2, dup2_function)
QPORT_RUN_LIBC(dup3, dup3_function)
QPORT_RUN_LIBC(fcntl, fcntl_function)
QPORT_RUN_LIBC(lseek, lseek_function)
QPORT_RUN_LIBC(lseek64, lseek_function)
QPORT_RUN_LIBC(pread, pread_function)
QPORT_RUN_LIBC(pread64, pread_function)
QPORT_RUN_LIBC(pwrite, pwrite_function)
QPORT_RUN_LIBC(pwrite64, pwrite_function)
QPORT_RUN_LIBC(readv, readv_function)
QPORT_RUN_LIBC(writev, readv_function)
QPORT_RUN_LIBC(preadv, preadv_function)
QPORT_RUN_LIBC(preadv64, preadv_function)
QPORT_RUN_LIBC(pwritev, preadv_function)
QPORT_RUN_LIBC(pwritev64, preadv_function)
QPORT_RUN_LIBC(preadv2, preadv2_function)
QPORT_RUN_LIBC(pwritev2, preadv2_function)

// ---------------------------------------------------------------- the simulated machine
using ListDevices = decltype(&::qport_sim_list_devices);

inline std::atomic<bool> serving{false};
inline ReadPort read_port = nullptr;
inline WritePort write_port = nullptr;
inline ListDevices list_devices = nullptr;

constexpr int max_ports = 8;

// The machine's parallel ports in its order (lpt1 first), where they
// decode now; how many there are.
int parallel_port_bases(std::array<std::uint16_t, max_ports> &bases);

inline std::uint8_t in8(std::uint16_t port)
{
    return static_cast<std::uint8_t>(read_port(static_cast<short>(port)));
}
inline void out8(std::uint16_t port, std::uint8_t value)
{
    write_port(static_cast<short>(port), static_cast<char>(value));
}

// ---------------------------------------------------------------- the program's memory
// Never a plain dereference of the program's pointer: false where the
// program may not reach (the kernel's EFAULT).
bool copy_from_program(void *to, const void *from, std::size_t size);
bool copy_to_program(void *to, const void *from, std::size_t size);

// ------------------------------------------------------------- waiting as the kernel waits
// A call that waits ends when a signal comes, as the kernel's ends on a
// pending signal. Signals are held while it works and let in only while it
// sleeps, so that none slips in between a look and the next sleep
// unnoticed.
class SignalsHeld {
public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;
};

// Sleeps for nanoseconds; false when a signal came first.
bool sleep_unless_signalled(long nanoseconds);

// ---------------------------------------------------------------- open files
// A file served here, behind real descriptors of the program's own (a
// memfd each open), so that poll, fcntl, fork and exec treat it as a file.
// Its driver's calls answer as the kernel's file operations do: a count, or
// a negative errno.
class ServedFile {
public:
    virtual ~ServedFile() = default;
    ServedFile() = default;
    ServedFile(const ServedFile &) = delete;
    ServedFile &operator=(const ServedFile &) = delete;

    virtual ssize_t read(int descriptor, void *buffer, std::size_t count) = 0;
    virtual ssize_t write(int descriptor, const void *buffer, std::size_t count) = 0;
    virtual int control(unsigned long request, void *argument) = 0;
    // What fstat() shows: the device's node, not the memfd.
    virtual void fill_status(struct stat &status) const = 0;

    // A file with a position (lseek, pread, pwrite and their vector
    // kinds); the others leave these calls to their memfd, as before.
    virtual bool has_position() const { return false; }
    virtual std::int64_t position() const { return 0; }
    virtual void set_position(std::int64_t /*position*/) {}
    // At position, which moves on by what was moved.
    virtual ssize_t read_at(void * /*buffer*/, std::size_t /*count*/, std::int64_t & /*position*/)
    {
        return -ESPIPE;
    }
    virtual ssize_t write_at(const void * /*buffer*/, std::size_t /*count*/,
                             std::int64_t & /*position*/)
    {
        return -ESPIPE;
    }
    struct Seek {
        int error; // 0 or a negative errno
        std::int64_t position;
    };
    virtual Seek seek(std::int64_t /*offset*/, int /*whence*/) { return {-ESPIPE, 0}; }
    // This process's last descriptor for the file is gone; under
    // files_mutex.
    virtual void last_descriptor_gone() {}

    // What the file is, whatever number it has: its memfd's identity.
    dev_t device = 0;
    ino_t inode = 0;
    int descriptors = 0; // this process's descriptors for it, under files_mutex
    std::atomic<int> references{1};
};

// Guards the table of descriptors and what drivers keep across files.
inline std::mutex files_mutex;

// A new open file: a memfd named name, close-on-exec and non-blocking as
// flags say, served by file (taken, and deleted on failure). The
// descriptor, or -1 with errno set.
int open_served_file(const char *name, int flags, ServedFile *file);

// Forgets every descriptor closed behind this library's back (a raw close
// system call, close_range, closefrom, fclose of an fdopen), so that what
// its file held is let go.
void forget_stale_descriptors();

// fstat() of descriptor, when it is a served file: true with result set
// (status filled, or -1 and errno); false for any other descriptor.
bool served_status(int descriptor, struct stat *status, int &result);

// A device node's status as statx() gives it.
void fill_statx(const struct stat &status, struct statx &extended);

// 0 or a count as the C library returns it, a negative errno as -1 and
// errno.
int result_of(int answer);
ssize_t size_result_of(ssize_t answer);

// ---------------------------------------------------------------- the files served
// /dev/parportN: ppdev.cpp.
int open_parport(int number, int flags);
bool existing_parport(int number);
void fill_parport_status(int number, struct stat &status);

// /dev/port: port.cpp.
constexpr char port_path[] = "/dev/port";
bool is_port_path(const char *path);
int open_port_file(int flags);
void fill_port_status(struct stat &status);

// /proc/sys/dev/parport: proc_tree.cpp.
constexpr char proc_prefix[] = "/proc/sys/dev/parport";
bool is_proc_path(const char *path);
// path with /proc/sys/dev/parport replaced by the private tree's parport,
// in a buffer of this thread's; path itself where the tree cannot be made.
const char *served_path(const char *path);

} // namespace qport_run::served

#endif
