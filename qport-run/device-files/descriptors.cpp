// SPDX-License-Identifier: LGPL-2.1-or-later
// Open files served on the simulated PC (see served_files.h): each a real
// descriptor of the program's own, a memfd, so that poll(), fcntl(), dup(),
// fork and exec behave; recognised by what it is (its memfd's identity),
// checked on every use, never by its number alone, so that a number closed
// behind this library's back and reused is the program's own file again.
// Every other descriptor goes straight to the C library: one atomic load.
#include "served_files.h"

#include <cerrno>
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

namespace qport_run::served {

// ---------------------------------------------------------------- the simulated machine
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

// ---------------------------------------------------------------- the program's memory
// Copies through the kernel, which answers EFAULT for memory the program
// may not reach instead of faulting here, or through the preload's probes,
// which answer the fault. Never a plain dereference of the program's
// pointer.
namespace {
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
} // namespace

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
namespace {
constinit thread_local bool holding_signals = false;
constinit thread_local sigset_t mask_while_sleeping{};
} // namespace

SignalsHeld::SignalsHeld()
{
    sigset_t held;
    ::sigfillset(&held);
    // Faults stay open: the trap and the program's own handlers need them.
    for (const int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP})
        ::sigdelset(&held, fault);
    holding_signals = ::syscall(SYS_rt_sigprocmask, SIG_BLOCK, &held, &mask_while_sleeping, 8) == 0;
}

SignalsHeld::~SignalsHeld()
{
    if (holding_signals)
        ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &mask_while_sleeping, nullptr, 8);
    holding_signals = false;
}

bool sleep_unless_signalled(long nanoseconds)
{
    const timespec pause{0, nanoseconds};
    if (!holding_signals)
        return ::nanosleep(&pause, nullptr) == 0;
    return ::ppoll(nullptr, 0, &pause, &mask_while_sleeping) == 0;
}

// ---------------------------------------------------------------- open files
namespace {

// Descriptors up to this many may be served files: each has its place, so
// that any other costs one load to pass by.
constexpr int max_descriptors = 1024;

std::array<std::atomic<ServedFile *>, max_descriptors> files_by_descriptor{};
std::atomic<int> served_count{0};

void drop(ServedFile *file)
{
    if (file->references.fetch_sub(1) == 1)
        delete file;
}

bool may_be_file(int descriptor)
{
    return served_count.load(std::memory_order_relaxed) != 0 && descriptor >= 0 &&
           descriptor < max_descriptors &&
           files_by_descriptor[static_cast<std::size_t>(descriptor)].load(
               std::memory_order_relaxed) != nullptr;
}

// Whether descriptor still is file's memfd: a number closed behind this
// library's back and reused for another file is not. One fstat system
// call.
bool is_still(int descriptor, const ServedFile &file)
{
    struct stat status {};
    return ::syscall(SYS_fstat, descriptor, &status) == 0 && status.st_dev == file.device &&
           status.st_ino == file.inode;
}

// One descriptor fewer for file, under files_mutex.
void lose_descriptor(ServedFile &file)
{
    if (--file.descriptors == 0)
        file.last_descriptor_gone();
}

// Forgets descriptor if it still names file; the file goes with its last
// use.
void forget_descriptor_of(int descriptor, ServedFile *file)
{
    {
        const std::lock_guard lock(files_mutex);
        ServedFile *expected = file;
        if (!files_by_descriptor[static_cast<std::size_t>(descriptor)].compare_exchange_strong(
                expected, nullptr))
            return;
        served_count.fetch_sub(1);
        lose_descriptor(*file);
    }
    drop(file);
}

// The file behind descriptor, with a reference the caller drops; null for
// any other descriptor, and for a number that no longer is the file's
// (which is forgotten then).
ServedFile *file_of(int descriptor)
{
    if (!may_be_file(descriptor))
        return nullptr;
    ServedFile *file = nullptr;
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
    ServedFile *get() const { return file_; }

private:
    ServedFile *file_;
};

// Forgets descriptor (closed or reused); the file goes with its last one.
void forget_descriptor(int descriptor)
{
    if (!may_be_file(descriptor))
        return;
    ServedFile *file = files_by_descriptor[static_cast<std::size_t>(descriptor)].load();
    if (file != nullptr)
        forget_descriptor_of(descriptor, file);
}

bool remember_descriptor(int descriptor, ServedFile *file)
{
    if (descriptor < 0 || descriptor >= max_descriptors)
        return false;
    const std::lock_guard lock(files_mutex);
    ++file->descriptors;
    ServedFile *previous = files_by_descriptor[static_cast<std::size_t>(descriptor)].exchange(file);
    if (previous != nullptr) {
        lose_descriptor(*previous);
        drop(previous);
    } else {
        served_count.fetch_add(1);
    }
    return true;
}

// Another descriptor for the same open file (dup and its relatives).
void share_file(int from, int to)
{
    ServedFile *file = file_of(from);
    if (file == nullptr)
        return;
    if (!remember_descriptor(to, file))
        drop(file);
}

// Requests the kernel answers for every file before the driver sees them.
bool answered_by_kernel(unsigned long request)
{
    return request == FIOCLEX || request == FIONCLEX || request == FIONBIO || request == FIOASYNC ||
           request == FIOQSIZE;
}

// The kernel's UIO_MAXIOV and MAX_RW_COUNT.
constexpr int max_vector = 1024;
constexpr std::size_t max_rw_count = 0x7FFFF000;

// readv() and its relatives on a served file, as the kernel makes them on
// a driver without vector operations: each piece in turn, until one comes
// short; an error only when nothing moved. at is the position for a file
// that has one (its own for readv and writev).
ssize_t transfer_vector(ServedFile &file, int descriptor, const iovec *program_vector, int count,
                        std::int64_t *at, bool reading)
{
    if (count < 0 || count > max_vector)
        return -EINVAL;
    const auto pieces = static_cast<std::size_t>(count);
    // The program's vector is read a few pieces at a time, so that a
    // signal handler's small stack is enough: once to check it whole, as
    // the kernel does before it moves anything, once to move.
    constexpr std::size_t batch = 16;
    std::array<iovec, batch> vector{};
    for (std::size_t first = 0; first < pieces; first += batch) {
        const std::size_t size = std::min(batch, pieces - first);
        if (!copy_from_program(vector.data(), program_vector + first, size * sizeof(iovec)))
            return -EFAULT;
        for (std::size_t piece = 0; piece < size; ++piece) {
            if (static_cast<ssize_t>(vector[piece].iov_len) < 0)
                return -EINVAL;
        }
    }
    std::size_t left = max_rw_count;
    ssize_t moved = 0;
    for (std::size_t first = 0; first < pieces; first += batch) {
        const std::size_t size = std::min(batch, pieces - first);
        if (!copy_from_program(vector.data(), program_vector + first, size * sizeof(iovec)))
            return moved > 0 ? moved : -EFAULT;
        for (std::size_t piece = 0; piece < size; ++piece) {
            const std::size_t length = std::min(vector[piece].iov_len, left);
            void *base = vector[piece].iov_base;
            ssize_t done = 0;
            if (at != nullptr)
                done = reading ? file.read_at(base, length, *at) : file.write_at(base, length, *at);
            else
                done = reading ? file.read(descriptor, base, length)
                               : file.write(descriptor, base, length);
            if (done < 0)
                return moved > 0 ? moved : done;
            moved += done;
            left -= static_cast<std::size_t>(done);
            if (static_cast<std::size_t>(done) != length)
                return moved;
        }
    }
    return moved;
}

// readv() and writev(): at the file's own position, if it has one.
ssize_t transfer_vector_at_position(ServedFile &file, int descriptor, const iovec *vector,
                                    int count, bool reading)
{
    if (!file.has_position())
        return transfer_vector(file, descriptor, vector, count, nullptr, reading);
    std::int64_t at = file.position();
    const ssize_t moved = transfer_vector(file, descriptor, vector, count, &at, reading);
    if (moved >= 0)
        file.set_position(at);
    return moved;
}

// preadv2() and pwritev2(): a driver without vector operations takes no
// flag but RWF_HIPRI; position -1 is the file's own.
ssize_t transfer_vector_flagged(ServedFile &file, int descriptor, const iovec *vector, int count,
                                off64_t position, int flags, bool reading)
{
    if ((flags & ~RWF_HIPRI) != 0)
        return -EOPNOTSUPP;
    if (position == -1)
        return transfer_vector_at_position(file, descriptor, vector, count, reading);
    if (position < 0)
        return -EINVAL;
    std::int64_t at = position;
    return transfer_vector(file, descriptor, vector, count, &at, reading);
}

} // namespace

void forget_stale_descriptors()
{
    for (int descriptor = 0; descriptor < max_descriptors; ++descriptor) {
        if (ServedFile *file = file_of(descriptor); file != nullptr)
            drop(file);
    }
}

int open_served_file(const char *name, int flags, ServedFile *file)
{
    if (file == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    const int descriptor = static_cast<int>(
        ::syscall(SYS_memfd_create, name, (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0U));
    if (descriptor < 0) {
        delete file;
        return -1;
    }
    if ((flags & O_NONBLOCK) != 0)
        libc_fcntl()(descriptor, F_SETFL, O_NONBLOCK);
    struct stat status {};
    if (::syscall(SYS_fstat, descriptor, &status) == 0) {
        file->device = status.st_dev;
        file->inode = status.st_ino;
    }
    if (file->inode == 0 || !remember_descriptor(descriptor, file)) {
        delete file;
        libc_close()(descriptor);
        errno = EMFILE;
        return -1;
    }
    return descriptor;
}

bool served_status(int descriptor, struct stat *status, int &result)
{
    if (!may_be_file(descriptor))
        return false;
    const FileUse use(descriptor);
    if (use.get() == nullptr)
        return false;
    struct stat filled {};
    use.get()->fill_status(filled);
    result = copy_to_program(status, &filled, sizeof filled) ? 0 : (errno = EFAULT, -1);
    return true;
}

void fill_statx(const struct stat &status, struct statx &extended)
{
    extended = {};
    extended.stx_mask = STATX_BASIC_STATS;
    extended.stx_blksize = static_cast<std::uint32_t>(status.st_blksize);
    extended.stx_nlink = static_cast<std::uint32_t>(status.st_nlink);
    extended.stx_uid = status.st_uid;
    extended.stx_gid = status.st_gid;
    extended.stx_mode = static_cast<std::uint16_t>(status.st_mode);
    extended.stx_ino = status.st_ino;
    extended.stx_rdev_major = major(status.st_rdev);
    extended.stx_rdev_minor = minor(status.st_rdev);
    extended.stx_dev_major = major(status.st_dev);
    extended.stx_dev_minor = minor(status.st_dev);
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

} // namespace qport_run::served

using namespace qport_run::served;

// ---------------------------------------------------------------- what the program calls
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
QPORT_RUN_EXPORT int ioctl(int descriptor, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    if (may_be_file(descriptor) && !answered_by_kernel(request)) {
        const FileUse use(descriptor);
        if (use.get() != nullptr)
            return result_of(use.get()->control(request, argument));
    }
    return libc_ioctl()(descriptor, request, argument);
}

QPORT_RUN_EXPORT ssize_t read(int descriptor, void *buffer, std::size_t count)
{
    if (may_be_file(descriptor)) {
        const FileUse use(descriptor);
        if (use.get() != nullptr)
            return size_result_of(use.get()->read(descriptor, buffer, count));
    }
    return libc_read()(descriptor, buffer, count);
}

QPORT_RUN_EXPORT ssize_t write(int descriptor, const void *buffer, std::size_t count)
{
    if (may_be_file(descriptor)) {
        const FileUse use(descriptor);
        if (use.get() != nullptr)
            return size_result_of(use.get()->write(descriptor, buffer, count));
    }
    return libc_write()(descriptor, buffer, count);
}

// A served file with a position, or null: the others' calls go to the C
// library (ppdev's to its memfd, as before).
#define QPORT_RUN_WITH_POSITION(descriptor, call)                                                  \
    if (may_be_file(descriptor)) {                                                                 \
        const FileUse use(descriptor);                                                             \
        if (use.get() != nullptr && use.get()->has_position()) {                                   \
            ServedFile &file = *use.get();                                                         \
            call;                                                                                  \
        }                                                                                          \
    }

namespace {

off64_t seek_result_of(const ServedFile::Seek &seek)
{
    if (seek.error == 0)
        return seek.position;
    errno = -seek.error;
    return -1;
}

ssize_t read_at_result_of(ServedFile &file, void *buffer, std::size_t count, off64_t position)
{
    if (position < 0)
        return size_result_of(-EINVAL);
    std::int64_t at = position;
    return size_result_of(file.read_at(buffer, count, at));
}

ssize_t write_at_result_of(ServedFile &file, const void *buffer, std::size_t count,
                           off64_t position)
{
    if (position < 0)
        return size_result_of(-EINVAL);
    std::int64_t at = position;
    return size_result_of(file.write_at(buffer, count, at));
}

ssize_t vector_at_result_of(ServedFile &file, const iovec *vector, int count, off64_t position,
                            bool reading)
{
    if (position < 0)
        return size_result_of(-EINVAL);
    std::int64_t at = position;
    return size_result_of(transfer_vector(file, -1, vector, count, &at, reading));
}

} // namespace

QPORT_RUN_EXPORT off64_t lseek(int descriptor, off64_t offset, int whence)
{
    QPORT_RUN_WITH_POSITION(descriptor, return seek_result_of(file.seek(offset, whence)))
    return libc_lseek()(descriptor, offset, whence);
}

QPORT_RUN_EXPORT off64_t lseek64(int descriptor, off64_t offset, int whence)
{
    QPORT_RUN_WITH_POSITION(descriptor, return seek_result_of(file.seek(offset, whence)))
    return libc_lseek64()(descriptor, offset, whence);
}

QPORT_RUN_EXPORT ssize_t pread(int descriptor, void *buffer, std::size_t count, off64_t position)
{
    QPORT_RUN_WITH_POSITION(descriptor, return read_at_result_of(file, buffer, count, position))
    return libc_pread()(descriptor, buffer, count, position);
}

QPORT_RUN_EXPORT ssize_t pread64(int descriptor, void *buffer, std::size_t count, off64_t position)
{
    QPORT_RUN_WITH_POSITION(descriptor, return read_at_result_of(file, buffer, count, position))
    return libc_pread64()(descriptor, buffer, count, position);
}

QPORT_RUN_EXPORT ssize_t pwrite(int descriptor, const void *buffer, std::size_t count,
                                off64_t position)
{
    QPORT_RUN_WITH_POSITION(descriptor, return write_at_result_of(file, buffer, count, position))
    return libc_pwrite()(descriptor, buffer, count, position);
}

QPORT_RUN_EXPORT ssize_t pwrite64(int descriptor, const void *buffer, std::size_t count,
                                  off64_t position)
{
    QPORT_RUN_WITH_POSITION(descriptor, return write_at_result_of(file, buffer, count, position))
    return libc_pwrite64()(descriptor, buffer, count, position);
}

// The vector calls of every served file: ppdev's read and write as the
// kernel loops over them too.
QPORT_RUN_EXPORT ssize_t readv(int descriptor, const iovec *vector, int count)
{
    if (may_be_file(descriptor)) {
        const FileUse use(descriptor);
        if (use.get() != nullptr)
            return size_result_of(
                transfer_vector_at_position(*use.get(), descriptor, vector, count, true));
    }
    return libc_readv()(descriptor, vector, count);
}

QPORT_RUN_EXPORT ssize_t writev(int descriptor, const iovec *vector, int count)
{
    if (may_be_file(descriptor)) {
        const FileUse use(descriptor);
        if (use.get() != nullptr)
            return size_result_of(
                transfer_vector_at_position(*use.get(), descriptor, vector, count, false));
    }
    return libc_writev()(descriptor, vector, count);
}

#define QPORT_RUN_VECTOR_AT(name, reading)                                                         \
    QPORT_RUN_EXPORT ssize_t name(int descriptor, const iovec *vector, int count,                  \
                                  off64_t position)                                                \
    {                                                                                              \
        QPORT_RUN_WITH_POSITION(                                                                   \
            descriptor, return vector_at_result_of(file, vector, count, position, reading))        \
        return libc_##name()(descriptor, vector, count, position);                                 \
    }
QPORT_RUN_VECTOR_AT(preadv, true)
QPORT_RUN_VECTOR_AT(preadv64, true)
QPORT_RUN_VECTOR_AT(pwritev, false)
QPORT_RUN_VECTOR_AT(pwritev64, false)

QPORT_RUN_EXPORT ssize_t preadv2(int descriptor, const iovec *vector, int count, off64_t position,
                                 int flags)
{
    QPORT_RUN_WITH_POSITION(
        descriptor, return size_result_of(transfer_vector_flagged(file, descriptor, vector, count,
                                                                  position, flags, true)))
    return libc_preadv2()(descriptor, vector, count, position, flags);
}

QPORT_RUN_EXPORT ssize_t pwritev2(int descriptor, const iovec *vector, int count, off64_t position,
                                  int flags)
{
    QPORT_RUN_WITH_POSITION(
        descriptor, return size_result_of(transfer_vector_flagged(file, descriptor, vector, count,
                                                                  position, flags, false)))
    return libc_pwritev2()(descriptor, vector, count, position, flags);
}

// fstat() of a served descriptor shows the device's node, as the kernel's
// does; its compatibility entry points take the structure's version first.
// NOLINTBEGIN(bugprone-reserved-identifier)
QPORT_RUN_EXPORT int fstat(int descriptor, struct stat *status)
{
    if (int result = 0; served_status(descriptor, status, result))
        return result;
    return libc_fstat()(descriptor, status);
}

QPORT_RUN_EXPORT int fstat64(int descriptor, struct stat64 *status)
{
    if (int result = 0; served_status(descriptor, reinterpret_cast<struct stat *>(status), result))
        return result;
    return libc_fstat64()(descriptor, status);
}

QPORT_RUN_EXPORT int __fxstat(int version, int descriptor, struct stat *status)
{
    if (int result = 0; served_status(descriptor, status, result))
        return result;
    return libc___fxstat()(version, descriptor, status);
}

QPORT_RUN_EXPORT int __fxstat64(int version, int descriptor, struct stat64 *status)
{
    if (int result = 0; served_status(descriptor, reinterpret_cast<struct stat *>(status), result))
        return result;
    return libc___fxstat64()(version, descriptor, status);
}
// NOLINTEND(bugprone-reserved-identifier)

QPORT_RUN_EXPORT int close(int descriptor)
{
    forget_descriptor(descriptor);
    return libc_close()(descriptor);
}

QPORT_RUN_EXPORT int dup(int descriptor)
{
    const int copy = libc_dup()(descriptor);
    if (copy >= 0)
        share_file(descriptor, copy);
    return copy;
}

QPORT_RUN_EXPORT int dup2(int descriptor, int target)
{
    const int copy = libc_dup2()(descriptor, target);
    if (copy >= 0 && descriptor != target) {
        forget_descriptor(copy);
        share_file(descriptor, copy);
    }
    return copy;
}

QPORT_RUN_EXPORT int dup3(int descriptor, int target, int flags)
{
    const int copy = libc_dup3()(descriptor, target, flags);
    if (copy >= 0) {
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
    if (result >= 0 && (command == F_DUPFD || command == F_DUPFD_CLOEXEC))
        share_file(descriptor, result);
    return result;
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
