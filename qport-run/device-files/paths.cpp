// SPDX-License-Identifier: LGPL-2.1-or-later
// The paths of the files served on the simulated PC (see device_files.h):
// open(), fopen(), opendir(), access() and the stat family of
// /dev/parportN and /proc/sys/dev/parport answered here, every other path
// passed straight to the C library after one comparison.
#include "served_files.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace qport_run::served {
namespace {

constexpr char device_prefix[] = "/dev/parport";

// N of /dev/parportN or /dev/parports/N, or -1.
int device_number(const char *path)
{
    if (std::strncmp(path, device_prefix, sizeof device_prefix - 1) != 0)
        return -1;
    const char *digits = path + sizeof device_prefix - 1;
    if (digits[0] == 's' && digits[1] == '/')
        digits += 2;
    if (digits[0] < '0' || digits[0] > '9' || (digits[0] == '0' && digits[1] != '\0'))
        return -1;
    int number = 0;
    for (const char *at = digits; *at != '\0'; ++at) {
        if (*at < '0' || *at > '9' || number > 99)
            return -1;
        number = number * 10 + (*at - '0');
    }
    return number;
}

bool has_served_prefix(const char *path)
{
    return std::strncmp(path, device_prefix, sizeof device_prefix - 1) == 0 ||
           std::strncmp(path, proc_prefix, sizeof proc_prefix - 1) == 0 || is_port_path(path);
}

// path with its empty, "." and ".." components resolved as the kernel
// resolves them where no symbolic link is on the way (none is on the way
// to the files served here), in resolved; false when it does not fit.
bool resolve_dots(const char *path, char (&resolved)[4096])
{
    std::size_t length = 0;
    const char *at = path;
    while (*at != '\0') {
        while (*at == '/')
            ++at;
        const char *end = at;
        while (*end != '\0' && *end != '/')
            ++end;
        const auto size = static_cast<std::size_t>(end - at);
        if (size == 2 && at[0] == '.' && at[1] == '.') {
            while (length > 0 && resolved[--length] != '/') {
            }
        } else if (size > 0 && !(size == 1 && at[0] == '.')) {
            if (length + 1 + size >= sizeof resolved)
                return false;
            resolved[length++] = '/';
            std::memcpy(resolved + length, at, size);
            length += size;
        }
        at = end;
    }
    if (length == 0 || path[std::strlen(path) - 1] == '/')
        resolved[length++] = '/';
    resolved[length] = '\0';
    return true;
}

// Whether path may be a file served here; path is then the one to serve,
// its "." and ".." resolved, so that no such component leads out of the
// served tree or past the served device. Most paths are settled by a look
// at their first letters.
bool may_be_ours(const char *&path)
{
    if (!serving.load(std::memory_order_relaxed) || path == nullptr || path[0] != '/')
        return false;
    const bool needs_resolving =
        std::strstr(path, "/.") != nullptr || std::strstr(path, "//") != nullptr;
    if (!needs_resolving)
        return has_served_prefix(path);
    thread_local char resolved[4096];
    if (!resolve_dots(path, resolved) || !has_served_prefix(resolved))
        return false;
    path = resolved;
    return true;
}

// The status of the served device at path: true with status filled, or
// error set for a port the machine lacks; false for any other path.
bool device_status(const char *path, struct stat &status, int &error)
{
    error = 0;
    if (is_port_path(path)) {
        fill_port_status(status);
        return true;
    }
    const int number = device_number(path);
    if (number < 0)
        return false;
    if (existing_parport(number))
        fill_parport_status(number, status);
    else
        error = ENOENT;
    return true;
}

// stat() and its relatives on path: answered here (1, with result set) or
// to be passed on (0, with path possibly rewritten).
int stat_path(const char *&path, struct stat *status, int &result)
{
    if (!may_be_ours(path))
        return 0;
    if (is_proc_path(path)) {
        path = served_path(path);
        return 0;
    }
    struct stat filled {};
    int error = 0;
    if (!device_status(path, filled, error))
        return 0;
    if (error == 0 && !copy_to_program(status, &filled, sizeof filled))
        error = EFAULT;
    errno = error != 0 ? error : errno;
    result = error != 0 ? -1 : 0;
    return 1;
}

template <typename Open> int open_path(const char *path, int flags, Open pass_on)
{
    if (may_be_ours(path)) {
        if (is_proc_path(path))
            return pass_on(served_path(path));
        if (is_port_path(path))
            return open_port_file(flags);
        if (const int number = device_number(path); number >= 0)
            return open_parport(number, flags);
    }
    return pass_on(path);
}

mode_t mode_argument(int flags, va_list arguments)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
               ? static_cast<mode_t>(va_arg(arguments, unsigned))
               : 0;
}

} // namespace
} // namespace qport_run::served

using namespace qport_run::served;

void qport_run::serve_simulated_device_files(void *library, ReadPort read, WritePort write)
{
    list_devices = reinterpret_cast<ListDevices>(::dlsym(library, "qport_sim_list_devices"));
    if (list_devices == nullptr)
        return;
    read_port = read;
    write_port = write;
    serving.store(true, std::memory_order_release);
}

// ---------------------------------------------------------------- what the program calls
// The C library declares these with parameter names of its own reserved
// kind, and its fortified and compatibility entry points have reserved
// names: these definitions take their place. The stat family's macros take
// the structure's type, which no parentheses may enclose.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name,bugprone-reserved-identifier,bugprone-macro-parentheses)
// open() and openat() read the mode only where the flags create a file.
#define QPORT_RUN_OPEN(name)                                                                       \
    QPORT_RUN_EXPORT int name(const char *path, int flags, ...)                                    \
    {                                                                                              \
        va_list arguments;                                                                         \
        va_start(arguments, flags);                                                                \
        const mode_t mode = mode_argument(flags, arguments);                                       \
        va_end(arguments);                                                                         \
        return open_path(path, flags,                                                              \
                         [&](const char *to) { return libc_##name()(to, flags, mode); });          \
    }
QPORT_RUN_OPEN(open)
QPORT_RUN_OPEN(open64)

#define QPORT_RUN_OPENAT(name)                                                                     \
    QPORT_RUN_EXPORT int name(int directory, const char *path, int flags, ...)                     \
    {                                                                                              \
        va_list arguments;                                                                         \
        va_start(arguments, flags);                                                                \
        const mode_t mode = mode_argument(flags, arguments);                                       \
        va_end(arguments);                                                                         \
        return open_path(path, flags, [&](const char *to) {                                        \
            return libc_##name()(directory, to, flags, mode);                                      \
        });                                                                                        \
    }
QPORT_RUN_OPENAT(openat)
QPORT_RUN_OPENAT(openat64)

// The fortified entry points, which the compiler calls where it cannot see
// that the flags need no mode.
#define QPORT_RUN_OPEN_2(name)                                                                     \
    QPORT_RUN_EXPORT int name(const char *path, int flags)                                         \
    {                                                                                              \
        return open_path(path, flags, [&](const char *to) { return libc_##name()(to, flags); });   \
    }
QPORT_RUN_OPEN_2(__open_2)
QPORT_RUN_OPEN_2(__open64_2)

#define QPORT_RUN_OPENAT_2(name)                                                                   \
    QPORT_RUN_EXPORT int name(int directory, const char *path, int flags)                          \
    {                                                                                              \
        return open_path(path, flags,                                                              \
                         [&](const char *to) { return libc_##name()(directory, to, flags); });     \
    }
QPORT_RUN_OPENAT_2(__openat_2)
QPORT_RUN_OPENAT_2(__openat64_2)

// Through fopen() only /proc's files. A FILE on a /dev/parportN or on
// /dev/port would read and write through the C library's own descriptor
// calls; and stdio's own stream (fopencookie) seeks by reading from the
// start of the file where the kernel's file would not, which on /dev/port
// reads ports the program never asked for. fopen of them reaches the
// kernel, whose /dev/port refuses a program without CAP_SYS_RAWIO, as
// qport-run --simulated runs them.
QPORT_RUN_EXPORT FILE *fopen(const char *path, const char *modes)
{
    if (may_be_ours(path) && is_proc_path(path))
        path = served_path(path);
    return libc_fopen()(path, modes);
}

QPORT_RUN_EXPORT FILE *fopen64(const char *path, const char *modes)
{
    if (may_be_ours(path) && is_proc_path(path))
        path = served_path(path);
    return libc_fopen64()(path, modes);
}

QPORT_RUN_EXPORT DIR *opendir(const char *path)
{
    if (may_be_ours(path) && is_proc_path(path))
        path = served_path(path);
    return libc_opendir()(path);
}

QPORT_RUN_EXPORT int access(const char *path, int how)
{
    if (may_be_ours(path)) {
        if (is_proc_path(path))
            path = served_path(path);
        else if (is_port_path(path))
            return 0;
        else if (const int number = device_number(path); number >= 0) {
            if (existing_parport(number))
                return 0;
            errno = ENOENT;
            return -1;
        }
    }
    return libc_access()(path, how);
}

#define QPORT_RUN_STAT(name, status_type)                                                          \
    QPORT_RUN_EXPORT int name(const char *path, status_type *status)                               \
    {                                                                                              \
        int result = 0;                                                                            \
        if (stat_path(path, reinterpret_cast<struct stat *>(status), result) != 0)                 \
            return result;                                                                         \
        return libc_##name()(path, status);                                                        \
    }
QPORT_RUN_STAT(stat, struct stat)
QPORT_RUN_STAT(stat64, struct stat64)
QPORT_RUN_STAT(lstat, struct stat)
QPORT_RUN_STAT(lstat64, struct stat64)

// An empty path with AT_EMPTY_PATH is the directory descriptor itself.
bool is_descriptor_itself(const char *path, int flags)
{
    return (flags & AT_EMPTY_PATH) != 0 && path != nullptr && path[0] == '\0';
}

// The status fstatat() gives of a served file, reached by its descriptor
// or its path: whether it is one, with the call's result in result.
bool served_status_at(int directory, const char *path, int flags, struct stat *status, int &result)
{
    if (is_descriptor_itself(path, flags) && served_status(directory, status, result))
        return true;
    return stat_path(path, status, result) != 0;
}

#define QPORT_RUN_FSTATAT(name, status_type)                                                       \
    QPORT_RUN_EXPORT int name(int directory, const char *path, status_type *status, int flags)     \
    {                                                                                              \
        int result = 0;                                                                            \
        if (served_status_at(directory, path, flags, reinterpret_cast<struct stat *>(status),      \
                             result))                                                              \
            return result;                                                                         \
        return libc_##name()(directory, path, status, flags);                                      \
    }
QPORT_RUN_FSTATAT(fstatat, struct stat)
QPORT_RUN_FSTATAT(fstatat64, struct stat64)

#define QPORT_RUN_XSTAT(name, status_type)                                                         \
    QPORT_RUN_EXPORT int name(int version, const char *path, status_type *status)                  \
    {                                                                                              \
        int result = 0;                                                                            \
        if (stat_path(path, reinterpret_cast<struct stat *>(status), result) != 0)                 \
            return result;                                                                         \
        return libc_##name()(version, path, status);                                               \
    }
QPORT_RUN_XSTAT(__xstat, struct stat)
QPORT_RUN_XSTAT(__xstat64, struct stat64)
QPORT_RUN_XSTAT(__lxstat, struct stat)
QPORT_RUN_XSTAT(__lxstat64, struct stat64)

#define QPORT_RUN_FXSTATAT(name, status_type)                                                      \
    QPORT_RUN_EXPORT int name(int version, int directory, const char *path, status_type *status,   \
                              int flags)                                                           \
    {                                                                                              \
        int result = 0;                                                                            \
        if (served_status_at(directory, path, flags, reinterpret_cast<struct stat *>(status),      \
                             result))                                                              \
            return result;                                                                         \
        return libc_##name()(version, directory, path, status, flags);                             \
    }
QPORT_RUN_FXSTATAT(__fxstatat, struct stat)
QPORT_RUN_FXSTATAT(__fxstatat64, struct stat64)

QPORT_RUN_EXPORT int statx(int directory, const char *path, int flags, unsigned mask,
                           struct statx *status)
{
    struct stat plain {};
    int error = 0;
    bool answered = false;
    if (is_descriptor_itself(path, flags)) {
        int result = 0;
        if (served_status(directory, &plain, result)) {
            if (result != 0)
                return result;
            answered = true;
        }
    }
    if (!answered && may_be_ours(path)) {
        if (is_proc_path(path)) {
            path = served_path(path);
        } else if (device_status(path, plain, error)) {
            if (error != 0) {
                errno = error;
                return -1;
            }
            answered = true;
        }
    }
    if (!answered)
        return libc_statx()(directory, path, flags, mask, status);
    struct statx filled {};
    fill_statx(plain, filled);
    return copy_to_program(status, &filled, sizeof filled) ? 0 : (errno = EFAULT, -1);
}

// NOLINTEND(readability-inconsistent-declaration-parameter-name,bugprone-reserved-identifier,bugprone-macro-parentheses)
