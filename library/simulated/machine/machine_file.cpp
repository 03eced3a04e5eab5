// SPDX-License-Identifier: LGPL-2.1-or-later
// The machine the transfers act on: this process's own, or a machine file
// mapped shared, so that every process naming it acts on the same ports.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "device.h"
#include "device_memory.h"
#include "machine.h"
#include "outputs.h"

namespace qport::sim {
namespace {

// Zero-initialised, which is the reset state: nothing to construct at load,
// so a transfer from a signal handler or a constructor finds it ready.
constinit Machine own_machine{};

constinit std::mutex switch_mutex;
// The path of the mapped file; written under switch_mutex, and never freed
// while it could be read (switches are rare, and each mapping stays).
constinit std::atomic<const char *> active_path{nullptr};

// Every path a machine was mapped from, newest first, kept for the process's
// life like the mappings: a thread may still be reading the previous one.
struct KeptPath {
    std::string path;
    const KeptPath *previous;
};
constinit const KeptPath *kept_paths = nullptr;

MachineHeader expected_header()
{
    MachineHeader header{};
    for (std::size_t i = 0; i < sizeof header.magic; ++i)
        header.magic[i] = machine_magic[i];
    header.version = machine_version;
    header.header_bytes = sizeof(MachineHeader);
    header.machine_bytes = sizeof(Machine);
    header.layout = layout_fingerprint();
    return header;
}

void refuse(const char *path, const char *why)
{
    Line line;
    tell(line.text("cannot use the machine file ")
             .text(path)
             .text(": ")
             .text(why)
             .text("; this process keeps its own port space"));
}

int refuse_with(const char *path, const char *why, int error)
{
    refuse(path, why);
    errno = error;
    return -1;
}

// Makes a machine file at path through a temporary file in the same
// directory, built as the default profile, linked into place only once it
// is complete, so that no process ever sees it half made. Returns the open
// descriptor, or -1 with errno EEXIST when another process made it first.
int create_machine_file(const std::string &path)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC); // mode 0600
    if (fd < 0)
        return -1;
    bool made = ::ftruncate(fd, static_cast<off_t>(sizeof(Machine))) == 0;
    void *mapped = made
                       ? ::mmap(nullptr, sizeof(Machine), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                       : MAP_FAILED;
    if (mapped != MAP_FAILED) {
        auto *machine = static_cast<Machine *>(mapped);
        machine->header = expected_header();
        machine->recording.store(1);
        build_machine(*machine, default_profile());
        ::munmap(mapped, sizeof(Machine));
    }
    made = mapped != MAP_FAILED && ::link(temporary.c_str(), path.c_str()) == 0;
    const int error = errno;
    ::unlink(temporary.c_str());
    if (!made) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// A file of /proc or /sys looks regular and is the user's own, but is a
// window on the kernel or a process (/proc/self/mem), never a machine.
bool is_kernel_interface(int fd)
{
    struct statfs about {};
    return ::fstatfs(fd, &about) == 0 &&
           (about.f_type == PROC_SUPER_MAGIC || about.f_type == SYSFS_MAGIC);
}

// The machine file as this process's user may trust it: the file itself,
// not a link another user placed in its stead, a regular file (nothing is
// read from a FIFO or a device before that is known), and this user's own,
// which nobody else may write. Another user's machine could name the file
// this process appends printed bytes to, and truncating a mapped file kills
// the processes mapping it. Returns the descriptor, or -1 with errno set and
// why (when the reason is ours rather than the kernel's) in *why.
int open_own_machine_file(const char *path, const char **why)
{
    constexpr int flags = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
    int fd = ::open(path, flags);
    if (fd < 0 && errno == ENOENT) {
        fd = create_machine_file(path);
        if (fd < 0 && errno == EEXIST)
            fd = ::open(path, flags);
    }
    if (fd < 0) {
        if (errno == ELOOP)
            *why = "it is a symbolic link; a machine file is used only as itself";
        return -1;
    }
    struct stat about {};
    int error = EINVAL;
    if (::fstat(fd, &about) != 0) {
        error = errno;
    } else if (!S_ISREG(about.st_mode)) {
        *why = "not a regular file";
    } else if (is_kernel_interface(fd)) {
        *why = "a file of the kernel's (/proc or /sys), not a machine file";
    } else if (about.st_uid != ::geteuid()) {
        *why = "it belongs to another user; a machine file is used only by its owner";
        error = EPERM;
    } else if ((about.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        *why = "other users may read or write it; a machine file must have mode 0600";
        error = EPERM;
    } else {
        return fd;
    }
    ::close(fd);
    errno = error;
    return -1;
}

} // namespace

constinit std::atomic<Machine *> active_machine_pointer{&own_machine};

const char *machine_file_path() { return active_path.load(std::memory_order_acquire); }

int use_machine_file(const char *path)
{
    const std::lock_guard lock(switch_mutex);
    if (path == nullptr) {
        active_machine_pointer.store(&own_machine, std::memory_order_release);
        active_path.store(nullptr, std::memory_order_release);
        return 0;
    }
    const char *why = nullptr;
    const int fd = open_own_machine_file(path, &why);
    if (fd < 0) {
        const int error = errno;
        return refuse_with(path, why != nullptr ? why : strerrordesc_np(error), error);
    }
    struct stat about {};
    MachineHeader header{};
    const std::string another_version =
        "a machine file of another version (this library reads version " +
        decimal_text(machine_version) + ")";
    if (::fstat(fd, &about) != 0)
        why = strerrordesc_np(errno);
    else if (::pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
             std::memcmp(header.magic, machine_magic, sizeof machine_magic) != 0)
        why = about.st_size < static_cast<off_t>(sizeof header)
                  ? "too short to be a machine file"
                  : "not a machine file (no QPORTSIM header)";
    else if (header.version != machine_version)
        why = another_version.c_str();
    else if (header.header_bytes == sizeof(MachineHeader) &&
             header.layout != expected_header().layout)
        why = "a machine file of another build of this library, with other devices; remove it "
              "or name another";
    else if (header.header_bytes != sizeof(MachineHeader) ||
             header.machine_bytes != sizeof(Machine) ||
             about.st_size != static_cast<off_t>(sizeof(Machine)))
        why = "truncated or of the wrong size";
    if (why != nullptr) {
        ::close(fd);
        return refuse_with(path, why, EINVAL);
    }
    void *mapped = ::mmap(nullptr, sizeof(Machine), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int error = errno;
    ::close(fd);
    if (mapped == MAP_FAILED)
        return refuse_with(path, strerrordesc_np(error), error);
    try {
        kept_paths = new KeptPath{path, kept_paths};
    } catch (const std::bad_alloc &) {
        ::munmap(mapped, sizeof(Machine));
        return refuse_with(path, strerrordesc_np(ENOMEM), ENOMEM);
    }
    active_machine_pointer.store(static_cast<Machine *>(mapped), std::memory_order_release);
    active_path.store(kept_paths->path.c_str(), std::memory_order_release);
    attach_machine_memories(*static_cast<Machine *>(mapped));
    return 0;
}

} // namespace qport::sim
