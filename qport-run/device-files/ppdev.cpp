// SPDX-License-Identifier: LGPL-2.1-or-later
// ppdev on the simulated PC (see device_files.h).
//
// open() of /dev/parportN (or /dev/parports/N) for the simulated machine's
// Nth parallel port (lpt1 is parport0) gives a real descriptor, a memfd, so
// that poll(), fcntl() and dup() behave; its ioctl(), read() and write() do
// what the kernel's ppdev and parport_pc drivers do, with their error
// numbers, through the simulated library's transfers, so the peripheral on
// the port answers as it does to port instructions. /proc/sys/dev/parport
// is served from a private directory of this process (mkdtemp, mode 0700),
// holding what parport_pc shows there. Every other path and descriptor goes
// straight to the C library: one comparison for a path, one atomic load for
// a descriptor.
#include "device_files.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <optional>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include "qport_sim.h"

#define QPORT_RUN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// ---------------------------------------------------------------- the C library's own
template <typename Function>
Function next_definition(std::atomic<Function> &cache, const char *name,
                         const char *version = nullptr)
{
    Function function = cache.load(std::memory_order_acquire);
    if (function == nullptr) {
        void *found =
            version != nullptr ? ::dlvsym(RTLD_NEXT, name, version) : ::dlsym(RTLD_NEXT, name);
        if (found == nullptr) {
            static constexpr char message[] = "qport-run: the C library lacks a function\n";
            [[maybe_unused]] const ssize_t written =
                ::write(STDERR_FILENO, message, sizeof message - 1);
            ::_exit(125);
        }
        function = reinterpret_cast<Function>(found);
        cache.store(function, std::memory_order_release);
    }
    return function;
}

#define QPORT_RUN_LIBC(name, type)                                                                 \
    std::atomic<type> name##_cache;                                                                \
    type libc_##name() { return next_definition(name##_cache, #name); }
#define QPORT_RUN_LIBC_COMPAT(name, type)                                                          \
    std::atomic<type> name##_cache;                                                                \
    type libc_##name() { return next_definition(name##_cache, #name, "GLIBC_2.2.5"); }

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

// ---------------------------------------------------------------- the simulated machine
std::atomic<bool> serving{false};
qport_run::ReadPort read_port = nullptr;
qport_run::WritePort write_port = nullptr;
decltype(&::qport_sim_list_devices) list_devices = nullptr;

constexpr int max_ports = 8;

// The machine's parallel ports in its order (lpt1 first), where they
// decode now; how many there are.
int parallel_port_bases(std::array<std::uint16_t, max_ports> &bases)
{
    std::array<qport_sim_device_info, 32> devices{};
    const std::size_t listed =
        std::min(list_devices(devices.data(), devices.size()), devices.size());
    int count = 0;
    for (std::size_t at = 0; at < listed && count < max_ports; ++at) {
        if (std::strcmp(devices[at].type, "parallel-port") == 0)
            bases[static_cast<std::size_t>(count++)] = devices[at].first_port;
    }
    return count;
}

std::uint8_t in8(std::uint16_t port)
{
    return static_cast<std::uint8_t>(read_port(static_cast<short>(port)));
}
void out8(std::uint16_t port, std::uint8_t value)
{
    write_port(static_cast<short>(port), static_cast<char>(value));
}

// ---------------------------------------------------------------- paths
constexpr char device_prefix[] = "/dev/parport";
constexpr char proc_prefix[] = "/proc/sys/dev/parport";

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

bool is_proc_path(const char *path)
{
    return std::strncmp(path, proc_prefix, sizeof proc_prefix - 1) == 0 &&
           (path[sizeof proc_prefix - 1] == '\0' || path[sizeof proc_prefix - 1] == '/');
}

bool has_served_prefix(const char *path)
{
    return std::strncmp(path, device_prefix, sizeof device_prefix - 1) == 0 ||
           std::strncmp(path, proc_prefix, sizeof proc_prefix - 1) == 0;
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

// ---------------------------------------------------------------- /proc/sys/dev/parport
std::mutex proc_mutex;
char proc_directory[64] = {};
pid_t proc_owner = 0;

bool put_file(int directory, const char *name, const char *text)
{
    const int file =
        ::openat(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0444);
    if (file < 0)
        return false;
    const std::size_t length = std::strlen(text);
    const bool written = libc_write()(file, text, length) == static_cast<ssize_t>(length);
    libc_close()(file);
    return written;
}

int put_directory(int parent, const char *name)
{
    if (::mkdirat(parent, name, 0700) != 0)
        return -1;
    return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// What parport_pc shows for a port without EPP, ECP or a bidirectional
// data register, working without its interrupt.
bool put_port_directory(int tree, int number, std::uint16_t base)
{
    char name[16];
    std::snprintf(name, sizeof name, "parport%d", number);
    const int port = put_directory(tree, name);
    if (port < 0)
        return false;
    char base_text[32];
    std::snprintf(base_text, sizeof base_text, "%u\t0\n", base);
    bool done = put_file(port, "base-addr", base_text) && put_file(port, "irq", "-1\n") &&
                put_file(port, "dma", "-1\n") && put_file(port, "modes", "PCSPP\n") &&
                put_file(port, "spintime", "500\n");
    const int devices = done ? put_directory(port, "devices") : -1;
    done = devices >= 0 && put_file(devices, "active", "none\n");
    if (devices >= 0)
        libc_close()(devices);
    libc_close()(port);
    return done;
}

void remove_tree(int directory)
{
    DIR *listing = ::fdopendir(directory);
    if (listing == nullptr)
        return;
    while (const dirent *entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        const int inner = ::openat(::dirfd(listing), entry->d_name,
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (inner >= 0) {
            remove_tree(inner);
            ::unlinkat(::dirfd(listing), entry->d_name, AT_REMOVEDIR);
        } else {
            ::unlinkat(::dirfd(listing), entry->d_name, 0);
        }
    }
    ::closedir(listing);
}

__attribute__((destructor)) void remove_proc_tree()
{
    if (proc_directory[0] == '\0' || proc_owner != ::getpid())
        return;
    const int tree = ::open(proc_directory, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (tree >= 0)
        remove_tree(tree);
    ::rmdir(proc_directory);
}

constexpr char tree_prefix[] = "qport-run-parport-";

// Trees that processes which ended without their destructors (killed, or
// crashed) left in /tmp: this user's own directories, named after a process
// that no longer runs. Each is entered without following a link and
// emptied through its descriptor, so nobody else's file can be reached.
void remove_trees_of_ended_processes()
{
    const int temporary = ::open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *listing = temporary >= 0 ? ::fdopendir(temporary) : nullptr;
    if (listing == nullptr) {
        if (temporary >= 0)
            libc_close()(temporary);
        return;
    }
    while (const dirent *entry = ::readdir(listing)) {
        if (std::strncmp(entry->d_name, tree_prefix, sizeof tree_prefix - 1) != 0)
            continue;
        const long pid = std::strtol(entry->d_name + sizeof tree_prefix - 1, nullptr, 10);
        if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;
        const int tree = ::openat(::dirfd(listing), entry->d_name,
                                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat status {};
        if (tree < 0)
            continue;
        if (::fstat(tree, &status) != 0 || status.st_uid != ::geteuid() ||
            (status.st_mode & 077) != 0) {
            libc_close()(tree);
            continue;
        }
        remove_tree(tree);
        ::unlinkat(::dirfd(listing), entry->d_name, AT_REMOVEDIR);
    }
    ::closedir(listing);
}

// The private directory holding parport/, made on first use in this
// process: a new directory of /tmp (not $TMPDIR: nothing in the
// environment steers it) that only this user may enter, checked as made.
const char *proc_tree()
{
    const std::lock_guard lock(proc_mutex);
    if (proc_directory[0] != '\0' && proc_owner == ::getpid())
        return proc_directory;
    remove_trees_of_ended_processes();
    char made[sizeof proc_directory];
    std::snprintf(made, sizeof made, "/tmp/%s%d-XXXXXX", tree_prefix, ::getpid());
    if (::mkdtemp(made) == nullptr)
        return nullptr;
    const int root = ::open(made, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (root < 0 || ::fstat(root, &status) != 0 || status.st_uid != ::geteuid() ||
        (status.st_mode & 077) != 0) {
        if (root >= 0)
            libc_close()(root);
        return nullptr;
    }
    std::array<std::uint16_t, max_ports> bases{};
    const int count = parallel_port_bases(bases);
    const int tree = put_directory(root, "parport");
    bool done = tree >= 0;
    for (int number = 0; done && number < count; ++number)
        done = put_port_directory(tree, number, bases[static_cast<std::size_t>(number)]);
    const int defaults = done ? put_directory(tree, "default") : -1;
    done = defaults >= 0 && put_file(defaults, "spintime", "500\n") &&
           put_file(defaults, "timeslice", "200\n");
    if (defaults >= 0)
        libc_close()(defaults);
    if (tree >= 0)
        libc_close()(tree);
    std::memcpy(proc_directory, made, sizeof made);
    proc_owner = ::getpid();
    if (!done) {
        remove_tree(root);
        ::rmdir(made);
        proc_directory[0] = '\0';
        return nullptr;
    }
    libc_close()(root);
    return proc_directory;
}

// path with /proc/sys/dev/parport replaced by the private tree's parport,
// in a buffer of this thread's; path itself where the tree cannot be made.
const char *served_path(const char *path)
{
    thread_local char rewritten[4096];
    const char *tree = proc_tree();
    if (tree == nullptr)
        return path;
    const int length = std::snprintf(rewritten, sizeof rewritten, "%s/parport%s", tree,
                                     path + sizeof proc_prefix - 1);
    return length > 0 && static_cast<std::size_t>(length) < sizeof rewritten ? rewritten : path;
}

// ---------------------------------------------------------------- open files of /dev/parportN
// The kernel's enum ieee1284_phase (not in its user-space headers).
enum Phase : int {
    IEEE1284_PH_FWD_DATA,
    IEEE1284_PH_FWD_IDLE,
    IEEE1284_PH_TERMINATE,
    IEEE1284_PH_NEGOTIATION,
    IEEE1284_PH_HBUSY_DNA,
    IEEE1284_PH_REV_IDLE,
    IEEE1284_PH_HBUSY_DAVAIL,
    IEEE1284_PH_REV_DATA,
};
constexpr int default_mode = IEEE1284_MODE_COMPAT;
constexpr std::uint8_t control_writable = 0xCF; // parport_pc without a bidirectional port
constexpr std::uint8_t control_lines = 0x0F;
constexpr unsigned port_modes = PARPORT_MODE_PCSPP | PARPORT_MODE_SAFEININT;
constexpr std::int64_t hz = 250; // Debian's kernel's tick
constexpr std::int64_t default_timeout_jiffies = 5 * hz;

int initial_phase(int mode)
{
    return mode == IEEE1284_MODE_NIBBLE || mode == IEEE1284_MODE_BYTE ? IEEE1284_PH_REV_IDLE
                                                                      : IEEE1284_PH_FWD_IDLE;
}

// What ppdev keeps per open file, and parport keeps for it as a device.
struct PpdevFile {
    int number = 0;
    std::uint16_t base = 0;
    bool claimed = false;
    bool registered = false;
    int flags = 0; // PP_EXCL and the user's PP_FLAGMASK
    int mode = default_mode;
    int phase = IEEE1284_PH_FWD_IDLE;
    std::uint8_t control = 0x0C; // parport_pc's copy of the control register
    std::int64_t timeout_jiffies = default_timeout_jiffies;
    std::uint8_t irq_control = 0;
    // What the file is, whatever number it has: its memfd's identity.
    dev_t device = 0;
    ino_t inode = 0;
    int descriptors = 0; // this process's descriptors for it, under files_mutex
    std::atomic<int> references{1};
};

constexpr int pp_excl = 1 << 1; // ppdev's own flag bit, below PP_FLAGMASK's
// Descriptors up to this many may be ppdev files: each has its place, so
// that any other costs one load to pass by.
constexpr int max_descriptors = 1024;

std::mutex files_mutex;
std::array<std::atomic<PpdevFile *>, max_descriptors> files_by_descriptor{};
std::atomic<int> emulated_count{0};
// The file holding each port in this process, as parport lets one claim it.
std::array<PpdevFile *, max_ports> holders{};

void drop(PpdevFile *file)
{
    if (file->references.fetch_sub(1) == 1)
        delete file;
}

void drop_if_used(PpdevFile *file)
{
    if (file != nullptr)
        drop(file);
}

bool may_be_file(int descriptor)
{
    return descriptor >= 0 && descriptor < max_descriptors &&
           files_by_descriptor[static_cast<std::size_t>(descriptor)].load(
               std::memory_order_relaxed) != nullptr;
}

// Whether descriptor still is file's memfd: a number closed behind this
// library's back (a raw close system call, close_range, closefrom, fclose
// of an fdopen) and reused for another file is not. One fstat system call,
// safe in a signal handler.
bool is_still(int descriptor, const PpdevFile &file)
{
    struct stat status {};
    return ::syscall(SYS_fstat, descriptor, &status) == 0 && status.st_dev == file.device &&
           status.st_ino == file.inode;
}

// One descriptor fewer for file, under files_mutex: the last one of a
// file that holds its port lets go, as ppdev's release does.
void lose_descriptor(PpdevFile &file)
{
    if (--file.descriptors == 0 && file.claimed) {
        holders[static_cast<std::size_t>(file.number)] = nullptr;
        file.claimed = false;
    }
}

// Forgets descriptor if it still names file; the file goes with its last
// use.
void forget_descriptor_of(int descriptor, PpdevFile *file)
{
    {
        const std::lock_guard lock(files_mutex);
        PpdevFile *expected = file;
        if (!files_by_descriptor[static_cast<std::size_t>(descriptor)].compare_exchange_strong(
                expected, nullptr))
            return;
        emulated_count.fetch_sub(1);
        lose_descriptor(*file);
    }
    drop(file);
}

// The file behind descriptor, with a reference the caller drops; null for
// any other descriptor, and for a number that no longer is the file's
// (which is forgotten then).
PpdevFile *file_of(int descriptor)
{
    if (!may_be_file(descriptor))
        return nullptr;
    PpdevFile *file = nullptr;
    {
        const std::lock_guard lock(files_mutex);
        file = files_by_descriptor[static_cast<std::size_t>(descriptor)].load();
        if (file == nullptr)
            return nullptr;
        file->references.fetch_add(1);
    }
    if (is_still(descriptor, *file))
        return file;
    forget_descriptor_of(descriptor, file);
    drop(file);
    return nullptr;
}

class FileUse {
public:
    explicit FileUse(int descriptor) : file_(file_of(descriptor)) {}
    ~FileUse()
    {
        if (file_ != nullptr)
            drop(file_);
    }
    FileUse(const FileUse &) = delete;
    FileUse &operator=(const FileUse &) = delete;
    PpdevFile *get() const { return file_; }

private:
    PpdevFile *file_;
};

// Forgets descriptor (closed or reused); the file goes with its last one.
void forget_descriptor(int descriptor)
{
    if (!may_be_file(descriptor))
        return;
    PpdevFile *file = files_by_descriptor[static_cast<std::size_t>(descriptor)].load();
    if (file != nullptr)
        forget_descriptor_of(descriptor, file);
}

// Forgets every descriptor closed behind this library's back, so that a
// port its file held is free again.
void forget_stale_descriptors()
{
    for (int descriptor = 0; descriptor < max_descriptors; ++descriptor)
        drop_if_used(file_of(descriptor));
}

bool remember_descriptor(int descriptor, PpdevFile *file)
{
    if (descriptor < 0 || descriptor >= max_descriptors)
        return false;
    const std::lock_guard lock(files_mutex);
    ++file->descriptors;
    PpdevFile *previous = files_by_descriptor[static_cast<std::size_t>(descriptor)].exchange(file);
    if (previous != nullptr) {
        lose_descriptor(*previous);
        drop(previous);
    } else {
        emulated_count.fetch_add(1);
    }
    return true;
}

// Another descriptor for the same open file (dup and its relatives).
void share_file(int from, int to)
{
    PpdevFile *file = file_of(from);
    if (file == nullptr)
        return;
    if (!remember_descriptor(to, file))
        drop(file);
}

int open_device(int number, int flags)
{
    if ((flags & O_DIRECTORY) != 0) {
        errno = ENOTDIR;
        return -1;
    }
    std::array<std::uint16_t, max_ports> bases{};
    if (number >= parallel_port_bases(bases)) {
        errno = ENOENT;
        return -1;
    }
    char name[24];
    std::snprintf(name, sizeof name, "parport%d", number);
    const int descriptor = static_cast<int>(
        ::syscall(SYS_memfd_create, name, (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0U));
    if (descriptor < 0)
        return -1;
    if ((flags & O_NONBLOCK) != 0)
        libc_fcntl()(descriptor, F_SETFL, O_NONBLOCK);
    auto *file = new (std::nothrow) PpdevFile;
    struct stat status {};
    if (file != nullptr && ::syscall(SYS_fstat, descriptor, &status) == 0) {
        file->device = status.st_dev;
        file->inode = status.st_ino;
    }
    if (file != nullptr) {
        file->number = number;
        file->base = bases[static_cast<std::size_t>(number)];
    }
    if (file == nullptr || file->inode == 0 || !remember_descriptor(descriptor, file)) {
        delete file;
        libc_close()(descriptor);
        errno = EMFILE;
        return -1;
    }
    return descriptor;
}

// ---------------------------------------------------------------- the program's memory
// Copies through the kernel, which answers EFAULT for memory the program
// may not reach instead of faulting here, or through the preload's probes,
// which answer the fault. Never a plain dereference of the program's
// pointer.
bool copy_memory(void *local, const void *remote, std::size_t size, long call)
{
    if (size == 0)
        return true;
    iovec local_piece{local, size};
    iovec remote_piece{const_cast<void *>(remote), size};
    return ::syscall(call, ::getpid(), &local_piece, 1UL, &remote_piece, 1UL, 0UL) ==
           static_cast<long>(size);
}

// A request's argument (a few bytes) directly, a buffer through the kernel.
constexpr std::size_t directly_at_most = 16;

bool copy_from_program(void *to, const void *from, std::size_t size)
{
    return size <= directly_at_most ? qport_run::read_program_memory(to, from, size)
                                    : copy_memory(to, from, size, SYS_process_vm_readv);
}

bool copy_to_program(void *to, const void *from, std::size_t size)
{
    return size <= directly_at_most
               ? qport_run::write_program_memory(to, from, size)
               : copy_memory(const_cast<void *>(from), to, size, SYS_process_vm_writev);
}

// ------------------------------------------------------------- waiting as the kernel waits
// A call that waits (read, write, PPCLAIM, PPNEGOT) ends when a signal
// comes, as the kernel's ends on a pending signal. Signals are held while
// it works and let in only while it sleeps, so that none slips in between
// a look and the next sleep unnoticed.
constinit thread_local bool holding_signals = false;
constinit thread_local sigset_t mask_while_sleeping{};

class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t held;
        ::sigfillset(&held);
        // Faults stay open: the trap and the program's own handlers need them.
        for (const int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP})
            ::sigdelset(&held, fault);
        holding_signals =
            ::syscall(SYS_rt_sigprocmask, SIG_BLOCK, &held, &mask_while_sleeping, 8) == 0;
    }
    ~SignalsHeld()
    {
        if (holding_signals)
            ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &mask_while_sleeping, nullptr, 8);
        holding_signals = false;
    }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;
};

// Sleeps for nanoseconds; false when a signal came first.
bool sleep_unless_signalled(long nanoseconds)
{
    const timespec pause{0, nanoseconds};
    if (!holding_signals)
        return ::nanosleep(&pause, nullptr) == 0;
    return ::ppoll(nullptr, 0, &pause, &mask_while_sleeping) == 0;
}

// ------------------------------------------------------- the port as parport_pc drives it
std::int64_t now_ns()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

struct Lines {
    PpdevFile &file;
    bool nonblocking = false;
    // Set when a signal handler ran during a wait: the transfer ends, as
    // the kernel's does on a pending signal.
    mutable bool interrupted = false;

    std::uint8_t status() const { return in8(static_cast<std::uint16_t>(file.base + 1)); }
    std::uint8_t data() const { return in8(file.base); }
    void set_data(std::uint8_t value) const { out8(file.base, value); }
    std::uint8_t control() const { return file.control & control_lines; }
    void frob_control(std::uint8_t mask, std::uint8_t value) const
    {
        const auto now =
            static_cast<std::uint8_t>(((file.control & ~mask) ^ value) & control_writable);
        out8(static_cast<std::uint16_t>(file.base + 2), now);
        file.control = now;
    }
    void write_control(std::uint8_t value) const { frob_control(0xFF, value & control_lines); }

    // parport_poll_peripheral: a few quick looks.
    bool poll(std::uint8_t mask, std::uint8_t result, int microseconds) const
    {
        for (int look = 0; look < microseconds / 5 + 2; ++look) {
            if ((status() & mask) == result)
                return true;
        }
        return false;
    }
    // parport_wait_peripheral: a quick look, then every 10 ms for 40 ms.
    bool wait(std::uint8_t mask, std::uint8_t result) const
    {
        if (poll(mask, result, 0))
            return true;
        for (int step = 0; step < 4 && !interrupted; ++step) {
            if (!sleep_unless_signalled(10'000'000))
                interrupted = true;
            else if ((status() & mask) == result)
                return true;
        }
        return false;
    }

    // IEEE 1284 termination back to compatibility mode.
    void terminate() const
    {
        if (file.mode == IEEE1284_MODE_EPP || file.mode == IEEE1284_MODE_EPPSL ||
            file.mode == IEEE1284_MODE_EPPSWE) {
            frob_control(PARPORT_CONTROL_INIT, 0);
            frob_control(PARPORT_CONTROL_INIT | PARPORT_CONTROL_SELECT,
                         PARPORT_CONTROL_SELECT | PARPORT_CONTROL_INIT);
        } else {
            frob_control(PARPORT_CONTROL_SELECT | PARPORT_CONTROL_AUTOFD, PARPORT_CONTROL_SELECT);
            wait(PARPORT_STATUS_ACK, 0);
            frob_control(PARPORT_CONTROL_AUTOFD, PARPORT_CONTROL_AUTOFD);
            wait(PARPORT_STATUS_ACK, PARPORT_STATUS_ACK);
            frob_control(PARPORT_CONTROL_AUTOFD, 0);
        }
        file.mode = IEEE1284_MODE_COMPAT;
        file.phase = IEEE1284_PH_FWD_IDLE;
    }

    // parport_negotiate: 0, -1 when the peripheral does not answer as an
    // IEEE 1284 one, 1 when it refuses the mode.
    int negotiate(int mode) const
    {
        if (file.mode == mode)
            return 0;
        if ((file.mode & ~IEEE1284_ADDR) == (mode & ~IEEE1284_ADDR)) {
            file.mode = mode;
            return 0;
        }
        if (file.mode != IEEE1284_MODE_COMPAT)
            terminate();
        if (mode == IEEE1284_MODE_COMPAT)
            return 0;
        int requested = mode;
        if (mode == IEEE1284_MODE_ECPSWE)
            requested = IEEE1284_MODE_ECP;
        else if (mode == IEEE1284_MODE_EPPSL || mode == IEEE1284_MODE_EPPSWE)
            requested = IEEE1284_MODE_EPP;
        if ((mode & IEEE1284_EXT_LINK) != 0)
            requested = 1 << 7;
        file.phase = IEEE1284_PH_NEGOTIATION;
        frob_control(PARPORT_CONTROL_STROBE | PARPORT_CONTROL_AUTOFD | PARPORT_CONTROL_SELECT,
                     PARPORT_CONTROL_SELECT);
        set_data(static_cast<std::uint8_t>(requested));
        frob_control(PARPORT_CONTROL_SELECT | PARPORT_CONTROL_AUTOFD, PARPORT_CONTROL_AUTOFD);
        if (!wait(PARPORT_STATUS_ERROR | PARPORT_STATUS_SELECT | PARPORT_STATUS_PAPEROUT |
                      PARPORT_STATUS_ACK,
                  PARPORT_STATUS_ERROR | PARPORT_STATUS_SELECT | PARPORT_STATUS_PAPEROUT)) {
            frob_control(PARPORT_CONTROL_SELECT | PARPORT_CONTROL_AUTOFD, PARPORT_CONTROL_SELECT);
            file.phase = IEEE1284_PH_FWD_IDLE;
            return -1;
        }
        frob_control(PARPORT_CONTROL_STROBE, PARPORT_CONTROL_STROBE);
        frob_control(PARPORT_CONTROL_STROBE | PARPORT_CONTROL_AUTOFD, 0);
        if (!wait(PARPORT_STATUS_ACK, PARPORT_STATUS_ACK) ||
            (mode != IEEE1284_MODE_NIBBLE && (status() & PARPORT_STATUS_SELECT) == 0)) {
            file.mode = mode; // terminate() leaves the mode it was in
            terminate();
            return 1;
        }
        file.mode = mode;
        file.phase = mode == IEEE1284_MODE_NIBBLE || mode == IEEE1284_MODE_BYTE
                         ? IEEE1284_PH_REV_IDLE
                         : IEEE1284_PH_FWD_IDLE;
        return 0;
    }

    // parport_ieee1284_write_compat: each byte strobed in once the
    // peripheral is ready, until the device's timeout.
    std::size_t write_compat(const std::uint8_t *bytes, std::size_t length) const
    {
        constexpr std::uint8_t idle = PARPORT_CONTROL_SELECT | PARPORT_CONTROL_INIT;
        constexpr std::uint8_t ready_mask = PARPORT_STATUS_ERROR | PARPORT_STATUS_BUSY;
        file.phase = IEEE1284_PH_FWD_DATA;
        write_control(idle);
        std::size_t count = 0;
        const std::int64_t jiffies = nonblocking ? 1 : file.timeout_jiffies;
        const std::int64_t deadline = now_ns() + jiffies * (1'000'000'000 / hz);
        while (count < length) {
            bool ready = wait(ready_mask, ready_mask);
            // Not ready, and not merely busy: the printer is upset.
            while (!ready && !interrupted &&
                   (status() &
                    (PARPORT_STATUS_PAPEROUT | PARPORT_STATUS_SELECT | PARPORT_STATUS_ERROR)) ==
                       (PARPORT_STATUS_SELECT | PARPORT_STATUS_ERROR) &&
                   now_ns() < deadline)
                ready = wait(ready_mask, ready_mask);
            if (!ready)
                break;
            set_data(bytes[count]);
            write_control(idle | PARPORT_CONTROL_STROBE);
            write_control(idle);
            ++count;
        }
        file.phase = IEEE1284_PH_FWD_IDLE;
        return count;
    }

    // parport_ieee1284_read_nibble and _read_byte.
    std::size_t read_reverse(std::uint8_t *bytes, std::size_t length, bool byte_mode) const
    {
        std::size_t count = 0;
        const std::size_t steps = byte_mode ? length : length * 2;
        for (; count < steps; ++count) {
            if ((byte_mode || count % 2 == 0) && (status() & PARPORT_STATUS_ERROR) != 0)
                break;
            frob_control(PARPORT_CONTROL_AUTOFD, PARPORT_CONTROL_AUTOFD);
            file.phase = IEEE1284_PH_REV_DATA;
            if (!wait(PARPORT_STATUS_ACK, 0)) {
                frob_control(PARPORT_CONTROL_AUTOFD, 0);
                break;
            }
            std::uint8_t value = 0;
            if (byte_mode) {
                value = data();
            } else {
                value = static_cast<std::uint8_t>(status() >> 3);
                value = static_cast<std::uint8_t>((value & ~8U) | ((value & 0x10) == 0 ? 8U : 0U));
                value &= 0x0F;
            }
            frob_control(PARPORT_CONTROL_AUTOFD, 0);
            if (!wait(PARPORT_STATUS_ACK, PARPORT_STATUS_ACK))
                break;
            if (byte_mode) {
                bytes[count] = value;
                frob_control(PARPORT_CONTROL_STROBE, PARPORT_CONTROL_STROBE);
                frob_control(PARPORT_CONTROL_STROBE, 0);
            } else if (count % 2 == 0) {
                bytes[count / 2] = value;
            } else {
                bytes[count / 2] = static_cast<std::uint8_t>(bytes[count / 2] | (value << 4));
            }
        }
        if ((status() & PARPORT_STATUS_ERROR) != 0) {
            frob_control(PARPORT_CONTROL_AUTOFD, PARPORT_CONTROL_AUTOFD);
            file.phase = IEEE1284_PH_REV_IDLE;
        } else {
            file.phase = IEEE1284_PH_HBUSY_DAVAIL;
        }
        return byte_mode ? count : count / 2;
    }

    // parport_ieee1284_epp_*: EPP played on the SPP lines, nAutoFd as the
    // data strobe, nSelectIn as the address strobe, Busy as nWait.
    std::size_t epp_write(const std::uint8_t *bytes, std::size_t length, bool address) const
    {
        const std::uint8_t strobe = address ? PARPORT_CONTROL_SELECT : PARPORT_CONTROL_AUTOFD;
        frob_control(PARPORT_CONTROL_STROBE | PARPORT_CONTROL_AUTOFD | PARPORT_CONTROL_SELECT |
                         PARPORT_CONTROL_INIT,
                     PARPORT_CONTROL_STROBE | PARPORT_CONTROL_INIT);
        std::size_t count = 0;
        for (; count < length; ++count) {
            set_data(bytes[count]);
            frob_control(strobe, strobe);
            if (!poll(PARPORT_STATUS_BUSY, 0, 10))
                break;
            frob_control(strobe, 0);
            if (!poll(PARPORT_STATUS_BUSY, PARPORT_STATUS_BUSY, 5))
                break;
        }
        frob_control(PARPORT_CONTROL_STROBE, 0);
        return count;
    }

    std::size_t epp_read(std::uint8_t *bytes, std::size_t length, bool address) const
    {
        const std::uint8_t strobe = address ? PARPORT_CONTROL_SELECT : PARPORT_CONTROL_AUTOFD;
        frob_control(PARPORT_CONTROL_STROBE | PARPORT_CONTROL_AUTOFD | PARPORT_CONTROL_SELECT |
                         PARPORT_CONTROL_INIT,
                     PARPORT_CONTROL_INIT);
        std::size_t count = 0;
        for (; count < length; ++count) {
            frob_control(strobe, strobe);
            if (!wait(PARPORT_STATUS_BUSY, 0))
                break;
            bytes[count] = data();
            frob_control(strobe, 0);
            if (!poll(PARPORT_STATUS_BUSY, PARPORT_STATUS_BUSY, 5))
                break;
        }
        return count;
    }
};

bool nonblocking(int descriptor) { return (libc_fcntl()(descriptor, F_GETFL) & O_NONBLOCK) != 0; }

constexpr std::size_t buffer_size = 256; // ppdev's PP_BUFFER_SIZE is 1024; any size works

// ppdev's read(): in the mode set, until something comes (or at once with
// O_NONBLOCK).
ssize_t read_port_file(PpdevFile &file, int descriptor, void *buffer, std::size_t count)
{
    if (!file.claimed)
        return -EINVAL;
    if (count == 0)
        return 0;
    const Lines lines{file, nonblocking(descriptor)};
    std::uint8_t bytes[buffer_size];
    const std::size_t wanted = std::min(count, sizeof bytes);
    for (;;) {
        const int mode = file.mode & ~(IEEE1284_DEVICEID | IEEE1284_ADDR);
        const bool address = (file.mode & IEEE1284_ADDR) != 0;
        std::size_t got = 0;
        switch (mode) {
        case IEEE1284_MODE_COMPAT:
            // No tristate, so nibble mode, which must be negotiated.
            if (lines.negotiate(IEEE1284_MODE_NIBBLE) != 0)
                return -EIO;
            got = lines.read_reverse(bytes, wanted, false);
            break;
        case IEEE1284_MODE_NIBBLE:
        case IEEE1284_MODE_BYTE:
            got = lines.read_reverse(bytes, wanted, mode == IEEE1284_MODE_BYTE);
            break;
        case IEEE1284_MODE_EPP:
        case IEEE1284_MODE_EPPSWE:
            got = lines.epp_read(bytes, wanted, address);
            break;
        case IEEE1284_MODE_ECP:
        case IEEE1284_MODE_ECPRLE:
        case IEEE1284_MODE_ECPSWE:
            return -EIO; // the ECP handshake is not played
        default:
            return -ENOSYS;
        }
        if (got > 0)
            return copy_to_program(buffer, bytes, got) ? static_cast<ssize_t>(got) : -EFAULT;
        if (lines.nonblocking)
            return -EAGAIN;
        // The kernel keeps trying until a signal comes; so does this, and
        // a signal handler's return ends it.
        if (lines.interrupted || !sleep_unless_signalled(10'000'000))
            return -EINTR;
    }
}

ssize_t write_port_file(PpdevFile &file, int descriptor, const void *buffer, std::size_t count)
{
    if (!file.claimed)
        return -EINVAL;
    const Lines lines{file, nonblocking(descriptor)};
    std::uint8_t bytes[buffer_size];
    ssize_t written = 0;
    while (static_cast<std::size_t>(written) < count) {
        const std::size_t piece = std::min(count - static_cast<std::size_t>(written), sizeof bytes);
        if (!copy_from_program(bytes, static_cast<const std::uint8_t *>(buffer) + written, piece))
            return written > 0 ? written : -EFAULT;
        const int mode = file.mode & ~(IEEE1284_DEVICEID | IEEE1284_ADDR);
        const bool address = (file.mode & IEEE1284_ADDR) != 0;
        std::size_t wrote = 0;
        switch (mode) {
        case IEEE1284_MODE_NIBBLE:
        case IEEE1284_MODE_BYTE:
            lines.negotiate(IEEE1284_MODE_COMPAT);
            wrote = lines.write_compat(bytes, piece);
            break;
        case IEEE1284_MODE_COMPAT:
            wrote = lines.write_compat(bytes, piece);
            break;
        case IEEE1284_MODE_EPP:
        case IEEE1284_MODE_EPPSWE:
            wrote = lines.epp_write(bytes, piece, address);
            break;
        case IEEE1284_MODE_ECP:
        case IEEE1284_MODE_ECPRLE:
        case IEEE1284_MODE_ECPSWE:
            return written > 0 ? written : -EIO;
        default:
            return written > 0 ? written : -ENOSYS;
        }
        if (wrote == 0)
            break;
        written += static_cast<ssize_t>(wrote);
        if (lines.nonblocking)
            break;
    }
    return written == 0 && lines.nonblocking && count > 0 ? -EAGAIN : written;
}

// ---------------------------------------------------------------- ioctl
template <typename Value> int get_argument(void *argument, Value &value)
{
    return copy_from_program(&value, argument, sizeof value) ? 0 : -EFAULT;
}

template <typename Value> int put_result(void *argument, const Value &value)
{
    return copy_to_program(argument, &value, sizeof value) ? 0 : -EFAULT;
}

int claim(PpdevFile &file)
{
    if (file.claimed)
        return -EINVAL;
    std::array<std::uint16_t, max_ports> bases{};
    if (file.number >= parallel_port_bases(bases))
        return -ENXIO;
    // parport_claim_or_block: wait while another file of this process
    // holds the port. A holder whose descriptors were all closed behind
    // this library's back lets go first.
    forget_stale_descriptors();
    for (;;) {
        {
            const std::lock_guard lock(files_mutex);
            PpdevFile *&holder = holders[static_cast<std::size_t>(file.number)];
            if (holder == nullptr) {
                holder = &file;
                break;
            }
        }
        if (!sleep_unless_signalled(10'000'000))
            return -EINTR;
    }
    file.base = bases[static_cast<std::size_t>(file.number)];
    file.registered = true;
    file.claimed = true;
    // parport_pc's restore_state: the control register as this device
    // left it.
    out8(static_cast<std::uint16_t>(file.base + 2), file.control);
    return 0;
}

void release(PpdevFile &file)
{
    const std::lock_guard lock(files_mutex);
    holders[static_cast<std::size_t>(file.number)] = nullptr;
    file.claimed = false;
}

// pp_set_timeout's arithmetic on a 64-bit kernel: the microseconds taken
// as an int, the seconds' jiffies wrapping as its long does; what is not
// above 0 is refused.
std::optional<std::int64_t> timeout_jiffies_of(std::int64_t seconds, std::int64_t microseconds)
{
    const auto usecs = static_cast<std::int32_t>(static_cast<std::uint32_t>(microseconds));
    if (seconds < 0 || microseconds < 0 || usecs < 0)
        return std::nullopt;
    constexpr std::uint32_t usecs_per_jiffy = 1'000'000 / hz;
    const std::uint64_t usec_jiffies =
        (static_cast<std::uint32_t>(usecs) + usecs_per_jiffy - 1) / usecs_per_jiffy;
    const auto jiffies = static_cast<std::int64_t>(
        usec_jiffies + static_cast<std::uint64_t>(seconds) * static_cast<std::uint64_t>(hz));
    if (jiffies <= 0)
        return std::nullopt;
    return jiffies;
}

// ppdev's ioctl(): 0, a negative errno.
int control_port_file(PpdevFile &file, unsigned long request, void *argument)
{
    int value = 0;
    switch (request) {
    case PPCLAIM:
        return claim(file);
    case PPEXCL:
        if (file.registered)
            return (file.flags & pp_excl) != 0 ? 0 : -EINVAL;
        file.flags |= pp_excl;
        return 0;
    case PPSETMODE:
        if (const int error = get_argument(argument, value); error != 0)
            return error;
        file.mode = value;
        if (!file.claimed)
            file.phase = initial_phase(value);
        return 0;
    case PPGETMODE:
        return put_result(argument, file.mode);
    case PPSETPHASE:
        if (const int error = get_argument(argument, value); error != 0)
            return error;
        file.phase = value;
        return 0;
    case PPGETPHASE:
        return put_result(argument, file.phase);
    case PPGETMODES:
        return put_result(argument, port_modes);
    case PPSETFLAGS:
        if (const int error = get_argument(argument, value); error != 0)
            return error;
        file.flags = (file.flags & ~PP_FLAGMASK) | (value & PP_FLAGMASK);
        return 0;
    case PPGETFLAGS:
        return put_result(argument, file.flags & PP_FLAGMASK);
    default:
        break;
    }
    // Everything else needs the port claimed.
    if (!file.claimed)
        return -EINVAL;
    const Lines lines{file};
    std::uint8_t byte = 0;
    switch (request) {
    case PPRSTATUS:
        return put_result(argument, lines.status());
    case PPRDATA:
        return put_result(argument, lines.data());
    case PPRCONTROL:
        return put_result(argument, lines.control());
    case PPYIELD:
        return 0;
    case PPRELEASE:
        release(file);
        return 0;
    case PPWCONTROL:
        if (const int error = get_argument(argument, byte); error != 0)
            return error;
        lines.write_control(byte);
        return 0;
    case PPWDATA:
        if (const int error = get_argument(argument, byte); error != 0)
            return error;
        lines.set_data(byte);
        return 0;
    case PPFCONTROL: {
        ppdev_frob_struct frob{};
        if (const int error = get_argument(argument, frob); error != 0)
            return error;
        lines.frob_control(frob.mask & control_lines, frob.val & control_lines);
        return 0;
    }
    case PPDATADIR:
        if (const int error = get_argument(argument, value); error != 0)
            return error;
        lines.frob_control(0x20, value != 0 ? 0x20 : 0);
        return 0;
    case PPNEGOT:
        if (const int error = get_argument(argument, value); error != 0)
            return error;
        switch (lines.negotiate(value)) {
        case 0:
            return 0;
        case 1:
            return -ENXIO;
        default:
            return -EIO;
        }
    case PPWCTLONIRQ:
        if (const int error = get_argument(argument, byte); error != 0)
            return error;
        file.irq_control = byte;
        return 0;
    case PPCLRIRQ:
        // The simulated port raises no interrupt: none to count.
        return put_result(argument, 0);
    case PPSETTIME: {
        std::int64_t time[2] = {};
        if (const int error = get_argument(argument, time); error != 0)
            return error;
        const std::optional<std::int64_t> jiffies = timeout_jiffies_of(time[0], time[1]);
        if (!jiffies)
            return -EINVAL;
        file.timeout_jiffies = *jiffies;
        return 0;
    }
    case PPGETTIME: {
        // The jiffies' nanoseconds as ns_to_timespec64 splits them.
        const std::int64_t nanoseconds =
            static_cast<std::int64_t>(static_cast<std::uint64_t>(file.timeout_jiffies) *
                                      (1'000'000'000 / static_cast<std::uint64_t>(hz)));
        std::int64_t seconds = nanoseconds / 1'000'000'000;
        std::int64_t rest = nanoseconds % 1'000'000'000;
        if (rest < 0) {
            --seconds;
            rest += 1'000'000'000;
        }
        const std::int64_t time[2] = {seconds, rest / 1000};
        return put_result(argument, time);
    }
    default:
        return -EINVAL;
    }
}

// Requests the kernel answers for every file before the driver sees them.
bool answered_by_kernel(unsigned long request)
{
    return request == FIOCLEX || request == FIONCLEX || request == FIONBIO || request == FIOASYNC ||
           request == FIOQSIZE;
}

int result_of(int answer)
{
    if (answer >= 0)
        return answer;
    errno = -answer;
    return -1;
}

ssize_t size_result_of(ssize_t answer)
{
    if (answer >= 0)
        return answer;
    errno = static_cast<int>(-answer);
    return -1;
}

// ---------------------------------------------------------------- stat
void fill_device_status(int number, struct stat &status)
{
    status = {};
    status.st_dev = makedev(0, 5);
    status.st_ino = static_cast<ino_t>(1000) + static_cast<ino_t>(number);
    status.st_mode = S_IFCHR | 0660;
    status.st_nlink = 1;
    status.st_uid = ::geteuid();
    status.st_gid = ::getegid();
    status.st_rdev = makedev(99, static_cast<unsigned>(number));
    status.st_blksize = 4096;
}

bool existing_device(int number)
{
    std::array<std::uint16_t, max_ports> bases{};
    return number < parallel_port_bases(bases);
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
    const int number = device_number(path);
    if (number < 0)
        return 0;
    if (!existing_device(number)) {
        errno = ENOENT;
        result = -1;
    } else {
        struct stat filled {};
        fill_device_status(number, filled);
        result = copy_to_program(status, &filled, sizeof filled) ? 0 : (errno = EFAULT, -1);
    }
    return 1;
}

template <typename Open> int open_path(const char *path, int flags, Open pass_on)
{
    if (may_be_ours(path)) {
        if (is_proc_path(path))
            return pass_on(served_path(path));
        if (const int number = device_number(path); number >= 0)
            return open_device(number, flags);
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

void qport_run::serve_simulated_parports(void *library, ReadPort read, WritePort write)
{
    list_devices =
        reinterpret_cast<decltype(list_devices)>(::dlsym(library, "qport_sim_list_devices"));
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
QPORT_RUN_EXPORT int open(const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return open_path(path, flags, [&](const char *to) { return libc_open()(to, flags, mode); });
}

QPORT_RUN_EXPORT int open64(const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return open_path(path, flags, [&](const char *to) { return libc_open64()(to, flags, mode); });
}

QPORT_RUN_EXPORT int openat(int directory, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return open_path(path, flags,
                     [&](const char *to) { return libc_openat()(directory, to, flags, mode); });
}

QPORT_RUN_EXPORT int openat64(int directory, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return open_path(path, flags,
                     [&](const char *to) { return libc_openat64()(directory, to, flags, mode); });
}

QPORT_RUN_EXPORT int __open_2(const char *path, int flags)
{
    return open_path(path, flags, [&](const char *to) { return libc___open_2()(to, flags); });
}

QPORT_RUN_EXPORT int __open64_2(const char *path, int flags)
{
    return open_path(path, flags, [&](const char *to) { return libc___open64_2()(to, flags); });
}

QPORT_RUN_EXPORT int __openat_2(int directory, const char *path, int flags)
{
    return open_path(path, flags,
                     [&](const char *to) { return libc___openat_2()(directory, to, flags); });
}

QPORT_RUN_EXPORT int __openat64_2(int directory, const char *path, int flags)
{
    return open_path(path, flags,
                     [&](const char *to) { return libc___openat64_2()(directory, to, flags); });
}

// Through fopen() only /proc's files: a FILE on a /dev/parportN would
// read and write through the C library's own descriptor calls.
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
        else if (const int number = device_number(path); number >= 0) {
            if (existing_device(number))
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

#define QPORT_RUN_FSTATAT(name, status_type)                                                       \
    QPORT_RUN_EXPORT int name(int directory, const char *path, status_type *status, int flags)     \
    {                                                                                              \
        int result = 0;                                                                            \
        if (stat_path(path, reinterpret_cast<struct stat *>(status), result) != 0)                 \
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
        if (stat_path(path, reinterpret_cast<struct stat *>(status), result) != 0)                 \
            return result;                                                                         \
        return libc_##name()(version, directory, path, status, flags);                             \
    }
QPORT_RUN_FXSTATAT(__fxstatat, struct stat)
QPORT_RUN_FXSTATAT(__fxstatat64, struct stat64)

QPORT_RUN_EXPORT int statx(int directory, const char *path, int flags, unsigned mask,
                           struct statx *status)
{
    if (may_be_ours(path)) {
        if (is_proc_path(path)) {
            path = served_path(path);
        } else if (const int number = device_number(path); number >= 0) {
            if (!existing_device(number)) {
                errno = ENOENT;
                return -1;
            }
            struct stat plain {};
            fill_device_status(number, plain);
            struct statx filled {};
            filled.stx_mask = STATX_BASIC_STATS;
            filled.stx_blksize = static_cast<std::uint32_t>(plain.st_blksize);
            filled.stx_nlink = 1;
            filled.stx_uid = plain.st_uid;
            filled.stx_gid = plain.st_gid;
            filled.stx_mode = static_cast<std::uint16_t>(plain.st_mode);
            filled.stx_ino = plain.st_ino;
            filled.stx_rdev_major = 99;
            filled.stx_rdev_minor = static_cast<std::uint32_t>(number);
            filled.stx_dev_minor = 5;
            return copy_to_program(status, &filled, sizeof filled) ? 0 : (errno = EFAULT, -1);
        }
    }
    return libc_statx()(directory, path, flags, mask, status);
}

QPORT_RUN_EXPORT int ioctl(int descriptor, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    if (emulated_count.load(std::memory_order_relaxed) != 0 && !answered_by_kernel(request)) {
        const FileUse use(descriptor);
        if (use.get() != nullptr) {
            // Only these two wait; the register requests stay two calls short.
            std::optional<SignalsHeld> held;
            if (request == PPCLAIM || request == PPNEGOT)
                held.emplace();
            return result_of(control_port_file(*use.get(), request, argument));
        }
    }
    return libc_ioctl()(descriptor, request, argument);
}

QPORT_RUN_EXPORT ssize_t read(int descriptor, void *buffer, std::size_t count)
{
    if (emulated_count.load(std::memory_order_relaxed) != 0) {
        const FileUse use(descriptor);
        if (use.get() != nullptr) {
            const SignalsHeld held;
            return size_result_of(read_port_file(*use.get(), descriptor, buffer, count));
        }
    }
    return libc_read()(descriptor, buffer, count);
}

QPORT_RUN_EXPORT ssize_t write(int descriptor, const void *buffer, std::size_t count)
{
    if (emulated_count.load(std::memory_order_relaxed) != 0) {
        const FileUse use(descriptor);
        if (use.get() != nullptr) {
            const SignalsHeld held;
            return size_result_of(write_port_file(*use.get(), descriptor, buffer, count));
        }
    }
    return libc_write()(descriptor, buffer, count);
}

QPORT_RUN_EXPORT int close(int descriptor)
{
    if (emulated_count.load(std::memory_order_relaxed) != 0)
        forget_descriptor(descriptor);
    return libc_close()(descriptor);
}

QPORT_RUN_EXPORT int dup(int descriptor)
{
    const int copy = libc_dup()(descriptor);
    if (copy >= 0 && emulated_count.load(std::memory_order_relaxed) != 0)
        share_file(descriptor, copy);
    return copy;
}

QPORT_RUN_EXPORT int dup2(int descriptor, int target)
{
    const int copy = libc_dup2()(descriptor, target);
    if (copy >= 0 && descriptor != target && emulated_count.load(std::memory_order_relaxed) != 0) {
        forget_descriptor(copy);
        share_file(descriptor, copy);
    }
    return copy;
}

QPORT_RUN_EXPORT int dup3(int descriptor, int target, int flags)
{
    const int copy = libc_dup3()(descriptor, target, flags);
    if (copy >= 0 && emulated_count.load(std::memory_order_relaxed) != 0) {
        forget_descriptor(copy);
        share_file(descriptor, copy);
    }
    return copy;
}

QPORT_RUN_EXPORT int fcntl(int descriptor, int command, ...)
{
    va_list arguments;
    va_start(arguments, command);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    const int result = libc_fcntl()(descriptor, command, argument);
    if (result >= 0 && (command == F_DUPFD || command == F_DUPFD_CLOEXEC) &&
        emulated_count.load(std::memory_order_relaxed) != 0)
        share_file(descriptor, result);
    return result;
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name,bugprone-reserved-identifier,bugprone-macro-parentheses)
