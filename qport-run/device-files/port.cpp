// SPDX-License-Identifier: LGPL-2.1-or-later
// /dev/port on the simulated PC (see served_files.h), as the kernel's
// drivers/char/mem.c makes it: each byte read or written at file position
// P is one 8-bit transfer on port P, through the simulated library, so it
// is traced, recorded and replayed as any other transfer; nothing past port
// 0xFFFF; positions set by lseek with SEEK_SET or SEEK_CUR. Opening it needs
// no capability, as the trap's ioperm needs none.
#include "served_files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace qport_run::served {
namespace {

constexpr std::int64_t port_limit = 0x10000;
// The kernel's MAX_RW_COUNT: what one read or write moves at most.
constexpr std::size_t max_rw_count = INT_MAX & ~std::size_t{4095};
// Where user space ends on x86-64: the kernel's access_ok refuses a buffer
// reaching past it before any transfer.
constexpr std::uintptr_t user_space_end = 0x00007FFFFFFFF000;

bool reachable(const void *buffer, std::size_t count)
{
    const auto start = reinterpret_cast<std::uintptr_t>(buffer);
    return start <= user_space_end && count <= user_space_end - start;
}

class PortFile final : public ServedFile {
public:
    explicit PortFile(int access) : access_(access) {}
    ~PortFile() override
    {
        if (position_ != MAP_FAILED)
            ::munmap(position_, page_size);
    }
    PortFile(const PortFile &) = delete;
    PortFile &operator=(const PortFile &) = delete;

    // The file position lives in memory shared with forked children, as
    // the kernel's open file is shared with them.
    bool made() const { return position_ != MAP_FAILED; }

    ssize_t read(int /*descriptor*/, void *buffer, std::size_t count) override
    {
        std::int64_t at = position();
        const ssize_t done = read_at(buffer, count, at);
        if (done >= 0)
            set_position(at);
        return done;
    }

    ssize_t write(int /*descriptor*/, const void *buffer, std::size_t count) override
    {
        std::int64_t at = position();
        const ssize_t done = write_at(buffer, count, at);
        if (done >= 0)
            set_position(at);
        return done;
    }

    bool has_position() const override { return true; }
    std::int64_t position() const override
    {
        return file_position().load(std::memory_order_relaxed);
    }
    void set_position(std::int64_t at) override
    {
        file_position().store(at, std::memory_order_relaxed);
    }

    ssize_t read_at(void *buffer, std::size_t count, std::int64_t &position) override
    {
        if (const int error = check_transfer(O_WRONLY, buffer, count, position); error != 0)
            return error;
        auto *bytes = static_cast<std::uint8_t *>(buffer);
        std::size_t done = 0;
        // read_port: the port is read, then the byte put; a byte that
        // cannot be put ends the read with EFAULT.
        for (; done < count && position < port_limit; ++done, ++position) {
            const std::uint8_t value = in8(static_cast<std::uint16_t>(position));
            if (!copy_to_program(bytes + done, &value, 1))
                return -EFAULT;
        }
        return static_cast<ssize_t>(done);
    }

    ssize_t write_at(const void *buffer, std::size_t count, std::int64_t &position) override
    {
        if (const int error = check_transfer(O_RDONLY, buffer, count, position); error != 0)
            return error;
        const auto *bytes = static_cast<const std::uint8_t *>(buffer);
        std::size_t done = 0;
        // write_port: a byte that cannot be got ends the write, with
        // EFAULT only when it is the first.
        for (; done < count && position < port_limit; ++done, ++position) {
            std::uint8_t value = 0;
            if (!copy_from_program(&value, bytes + done, 1)) {
                if (done > 0)
                    break;
                return -EFAULT;
            }
            out8(static_cast<std::uint16_t>(position), value);
        }
        return static_cast<ssize_t>(done);
    }

    // memory_lseek: any position but the ones that read as an errno.
    Seek seek(std::int64_t offset, int whence) override
    {
        switch (whence) {
        case SEEK_CUR:
            offset = static_cast<std::int64_t>(static_cast<std::uint64_t>(offset) +
                                               static_cast<std::uint64_t>(position()));
            [[fallthrough]];
        case SEEK_SET:
            if (static_cast<std::uint64_t>(offset) >= static_cast<std::uint64_t>(-4095))
                return {-EOVERFLOW, 0};
            set_position(offset);
            return {0, offset};
        default:
            return {-EINVAL, 0};
        }
    }

    int control(unsigned long /*request*/, void * /*argument*/) override { return -ENOTTY; }
    void fill_status(struct stat &status) const override { fill_port_status(status); }

private:
    static constexpr std::size_t page_size = 4096;

    std::atomic_ref<std::int64_t> file_position() const
    {
        return std::atomic_ref<std::int64_t>(*static_cast<std::int64_t *>(position_));
    }

    // What the kernel checks before read_port or write_port moves a byte,
    // in its order: the descriptor's access (the one that refuses the
    // transfer), the buffer, the area; then it moves at most MAX_RW_COUNT.
    int check_transfer(int refused_access, const void *buffer, std::size_t &count,
                       std::int64_t position) const
    {
        if (access_ == refused_access)
            return -EBADF;
        if (!reachable(buffer, count))
            return -EFAULT;
        if (const int error = verify_area(position, count); error != 0)
            return error;
        count = std::min(count, max_rw_count);
        return 0;
    }

    // rw_verify_area, on the count asked for: /dev/port takes no negative
    // position, nor one that the count would take past the last.
    static int verify_area(std::int64_t position, std::size_t count)
    {
        if (static_cast<ssize_t>(count) < 0 || position < 0)
            return -EINVAL;
        if (static_cast<std::uint64_t>(position) + count > static_cast<std::uint64_t>(INT64_MAX))
            return -EINVAL;
        return 0;
    }

    int access_;
    void *position_ =
        ::mmap(nullptr, page_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
};

static_assert(std::atomic_ref<std::int64_t>::is_always_lock_free);

} // namespace

bool is_port_path(const char *path) { return std::strcmp(path, port_path) == 0; }

int open_port_file(int flags)
{
    if ((flags & O_DIRECTORY) != 0) {
        errno = ENOTDIR;
        return -1;
    }
    if ((flags & O_CREAT) != 0 && (flags & O_EXCL) != 0) {
        errno = EEXIST;
        return -1;
    }
    auto *file = new (std::nothrow) PortFile(flags & O_ACCMODE);
    if (file != nullptr && !file->made()) {
        delete file;
        errno = ENOMEM;
        return -1;
    }
    return open_served_file("port", flags, file);
}

void fill_port_status(struct stat &status)
{
    status = {};
    status.st_dev = makedev(0, 5);
    status.st_ino = 4;
    status.st_mode = S_IFCHR | 0640;
    status.st_nlink = 1;
    status.st_uid = ::geteuid();
    status.st_gid = ::getegid();
    status.st_rdev = makedev(1, 4);
    status.st_blksize = 4096;
}

} // namespace qport_run::served
