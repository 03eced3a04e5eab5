// SPDX-License-Identifier: LGPL-2.1-or-later
// A program using /dev/port, run under qport-run --simulated with its
// trace going to TRACE:
//     qport_run_port_subject TRACE        every case of the table below
//     qport_run_port_subject --not-served  /dev/port is the kernel's
// Each case opens /dev/port anew, makes its calls, each with the answer
// the kernel's drivers/char/mem.c gives, and reads from the trace the
// transfers they made; it prints each one that differs and exits with 1 if
// any did.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "subject_checks.h"

namespace {

// A call's answer: its result, or -1 and the errno wanted.
void expect_answer(long long result, long long wanted, int error, const std::string &what)
{
    const int got = errno;
    expect(result == wanted && (wanted != -1 || got == error),
           what + ": " + std::to_string(result) +
               (result == -1 ? " errno " + std::to_string(got) : "") + ", wanted " +
               std::to_string(wanted) + (wanted == -1 ? " errno " + std::to_string(error) : ""));
}

// The transfers of the trace since the last look, as "in 0x0300" and
// "out 0x0080 0x41": a read's value depends on the machine, a write's is
// the program's.
FILE *trace = nullptr;
std::vector<std::string> values_read;

std::vector<std::string> new_transfers()
{
    std::vector<std::string> transfers;
    values_read.clear();
    char line[256];
    while (std::fgets(line, sizeof line, trace) != nullptr) {
        char direction[8] = {};
        unsigned width = 0;
        unsigned port = 0;
        unsigned value = 0;
        if (std::sscanf(line, "%*s %7s %u %x %x", direction, &width, &port, &value) != 4)
            continue;
        char text[32];
        if (std::strcmp(direction, "in") == 0) {
            std::snprintf(text, sizeof text, "in 0x%04x", port);
            values_read.push_back(std::to_string(value));
        } else {
            std::snprintf(text, sizeof text, "out 0x%04x 0x%02x", port, value);
        }
        transfers.emplace_back(text);
    }
    std::clearerr(trace);
    return transfers;
}

std::string joined(const std::vector<std::string> &texts)
{
    std::string all;
    for (const std::string &text : texts)
        all += (all.empty() ? "" : ", ") + text;
    return "[" + all + "]";
}

// Memory that no pointer may reach, right after a page that may be: a
// buffer's last readable byte is at edge() - 1.
char *edge()
{
    static char *pages = [] {
        auto *two = static_cast<char *>(
            ::mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ::mprotect(two + 4096, 4096, PROT_NONE);
        return two + 4096;
    }();
    return pages;
}

off_t position(int fd) { return ::lseek(fd, 0, SEEK_CUR); }

struct Case {
    const char *name;
    std::function<void(int)> run;
    std::vector<std::string> transfers;
};

// Ports of the pc profile that no device decodes read 0xFF; the POST code
// port 0x80 takes any write.
const std::vector<Case> cases = {
    {"read moves on from the position",
     [](int fd) {
         expect_answer(::lseek(fd, 0x300, SEEK_SET), 0x300, 0, "lseek SEEK_SET");
         std::uint8_t bytes[2] = {};
         expect_answer(::read(fd, bytes, 2), 2, 0, "read 2");
         expect(bytes[0] == 0xFF && bytes[1] == 0xFF, "no device: 0xFF");
         expect_answer(position(fd), 0x302, 0, "the position after");
     },
     {"in 0x0300", "in 0x0301"}},
    {"write, one transfer a byte",
     [](int fd) {
         ::lseek(fd, 0x80, SEEK_SET);
         expect_answer(::write(fd, "AB", 2), 2, 0, "write 2");
         expect_answer(position(fd), 0x82, 0, "the position after");
     },
     {"out 0x0080 0x41", "out 0x0081 0x42"}},
    {"pread and pwrite leave the position",
     [](int fd) {
         std::uint8_t byte = 0;
         expect_answer(::pread(fd, &byte, 1, 0x3F8), 1, 0, "pread");
         expect_answer(::pwrite(fd, "C", 1, 0x80), 1, 0, "pwrite");
         expect_answer(::pread64(fd, &byte, 1, 0x3F9), 1, 0, "pread64");
         expect_answer(position(fd), 0, 0, "the position after");
         errno = 0;
         expect_answer(::pread(fd, &byte, 1, -1), -1, EINVAL, "pread at a negative offset");
     },
     {"in 0x03f8", "out 0x0080 0x43", "in 0x03f9"}},
    {"lseek as memory_lseek",
     [](int fd) {
         expect_answer(::lseek(fd, 5, SEEK_CUR), 5, 0, "SEEK_CUR");
         expect_answer(::lseek64(fd, 5, SEEK_CUR), 10, 0, "lseek64 SEEK_CUR");
         errno = 0;
         expect_answer(::lseek(fd, 0, SEEK_END), -1, EINVAL, "SEEK_END");
         expect_answer(::lseek(fd, 0, SEEK_DATA), -1, EINVAL, "SEEK_DATA");
         expect_answer(::lseek(fd, -1, SEEK_SET), -1, EOVERFLOW, "a position reading as an errno");
         expect_answer(position(fd), 10, 0, "the position kept");
         errno = 0;
         expect_answer(::lseek(fd, -5000, SEEK_SET), -5000, 0, "a negative position");
         std::uint8_t byte = 0;
         expect_answer(::read(fd, &byte, 1), -1, EINVAL, "read at a negative position");
         expect_answer(::lseek(fd, LLONG_MAX, SEEK_SET), LLONG_MAX, 0, "the last position");
         expect_answer(::read(fd, &byte, 1), -1, EINVAL, "read past the last position");
         expect_answer(::lseek(fd, LLONG_MAX / 2, SEEK_SET), LLONG_MAX / 2, 0, "far on");
         expect_answer(::read(fd, &byte, 1), 0, 0, "read far past 0xFFFF");
     },
     {}},
    {"nothing past 0xFFFF",
     [](int fd) {
         ::lseek(fd, 0xFFFE, SEEK_SET);
         std::uint8_t bytes[4] = {};
         expect_answer(::read(fd, bytes, 4), 2, 0, "read across the end");
         expect_answer(::read(fd, bytes, 4), 0, 0, "read at the end");
         expect_answer(::write(fd, bytes, 4), 0, 0, "write at the end");
         expect_answer(position(fd), 0x10000, 0, "the position at the end");
     },
     {"in 0xfffe", "in 0xffff"}},
    {"vectors, each piece in turn",
     [](int fd) {
         std::uint8_t first[2] = {};
         std::uint8_t second[3] = {};
         iovec pieces[] = {{first, 2}, {second, 3}};
         ::lseek(fd, 0x300, SEEK_SET);
         expect_answer(::readv(fd, pieces, 2), 5, 0, "readv");
         expect_answer(position(fd), 0x305, 0, "the position after readv");
         char text[] = "xyz";
         iovec written[] = {{text, 1}, {text + 1, 2}};
         expect_answer(::pwritev(fd, written, 2, 0x80), 3, 0, "pwritev");
         expect_answer(::preadv(fd, pieces, 1, 0x3F8), 2, 0, "preadv");
         ::lseek(fd, 0x80, SEEK_SET);
         expect_answer(::writev(fd, written, 1), 1, 0, "writev");
         expect_answer(::preadv2(fd, pieces, 1, -1, 0), 2, 0, "preadv2 at the position");
         expect_answer(position(fd), 0x83, 0, "the position after preadv2");
         errno = 0;
         expect_answer(::preadv2(fd, pieces, 1, 0, RWF_NOWAIT), -1, EOPNOTSUPP,
                       "preadv2 RWF_NOWAIT");
         // Counts the compiler cannot see, so that it lets them be made.
         volatile int negative = -1;
         volatile int too_many = 1025;
         expect_answer(::readv(fd, pieces, negative), -1, EINVAL, "readv of -1 pieces");
         expect_answer(::readv(fd, pieces, too_many), -1, EINVAL, "readv of 1025 pieces");
         expect_answer(::readv(fd, reinterpret_cast<iovec *>(edge()), 1), -1, EFAULT,
                       "readv of an unreachable vector");
     },
     {"in 0x0300", "in 0x0301", "in 0x0302", "in 0x0303", "in 0x0304", "out 0x0080 0x78",
      "out 0x0081 0x79", "out 0x0082 0x7a", "in 0x03f8", "in 0x03f9", "out 0x0080 0x78",
      "in 0x0081", "in 0x0082"}},
    {"buffers the program may not reach",
     [](int fd) {
         ::lseek(fd, 0x300, SEEK_SET);
         errno = 0;
         // read_port reads the port, then cannot put the byte.
         expect_answer(::read(fd, edge(), 1), -1, EFAULT, "read to no memory");
         expect_answer(position(fd), 0x300, 0, "the position kept");
         expect_answer(::write(fd, edge(), 1), -1, EFAULT, "write from no memory");
         // write_port stops at the first byte it cannot get.
         edge()[-1] = 'Q';
         expect_answer(::write(fd, edge() - 1, 2), 1, 0, "write up to no memory");
         expect_answer(::read(fd, reinterpret_cast<void *>(0xFFFF800000000000), 1), -1, EFAULT,
                       "read to the kernel's half");
     },
     {"in 0x0300", "out 0x0300 0x51"}},
    {"the descriptor like any other",
     [](int fd) {
         ::lseek(fd, 0x300, SEEK_SET);
         const int copy = ::dup(fd);
         std::uint8_t byte = 0;
         expect_answer(::read(copy, &byte, 1), 1, 0, "read through a dup()");
         expect_answer(position(fd), 0x301, 0, "a dup() shares the position");
         const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 100);
         expect_answer(::read(moved, &byte, 1), 1, 0, "read through F_DUPFD_CLOEXEC");
         ::close(moved);
         const int third = ::dup3(copy, 50, O_CLOEXEC);
         ::close(copy);
         expect_answer(::read(third, &byte, 1), 1, 0, "read through dup3()");
         ::close(third);
         const pid_t child = ::fork();
         if (child == 0)
             std::_Exit(::read(fd, &byte, 1) == 1 ? 0 : 1);
         int status = 0;
         ::waitpid(child, &status, 0);
         expect(WIFEXITED(status) && WEXITSTATUS(status) == 0, "read in a forked child");
         expect_answer(position(fd), 0x304, 0, "a forked child shares the position");
         errno = 0;
         expect_answer(::ioctl(fd, FIONREAD, &byte), -1, ENOTTY, "an ioctl");
     },
     {"in 0x0300", "in 0x0301", "in 0x0302", "in 0x0303"}},
};

// What open and the stat family answer, with no transfer.
void check_paths()
{
    struct stat status {};
    expect(::stat("/dev/port", &status) == 0 && S_ISCHR(status.st_mode) &&
               major(status.st_rdev) == 1 && minor(status.st_rdev) == 4,
           "stat: /dev/port is the character device 1:4");
    status = {};
    expect(::lstat("/dev//./port", &status) == 0 && S_ISCHR(status.st_mode),
           "lstat through . and //");
    struct statx extended {};
    expect(::statx(AT_FDCWD, "/dev/port", 0, STATX_BASIC_STATS, &extended) == 0 &&
               S_ISCHR(extended.stx_mode) && extended.stx_rdev_major == 1 &&
               extended.stx_rdev_minor == 4,
           "statx: 1:4");
    expect(::access("/dev/port", R_OK | W_OK) == 0, "access: readable and writable");
    // The descriptor's status is the device's too, however it is asked.
    const int port = ::open("/dev/port", O_RDWR);
    status = {};
    expect(::fstat(port, &status) == 0 && S_ISCHR(status.st_mode) &&
               status.st_rdev == makedev(1, 4),
           "fstat: 1:4");
    status = {};
    expect(::fstatat(port, "", &status, AT_EMPTY_PATH) == 0 && S_ISCHR(status.st_mode) &&
               status.st_rdev == makedev(1, 4),
           "fstatat with AT_EMPTY_PATH: 1:4");
    extended = {};
    expect(::statx(port, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &extended) == 0 &&
               S_ISCHR(extended.stx_mode) && extended.stx_rdev_minor == 4,
           "statx with AT_EMPTY_PATH: 1:4");
    ::close(port);
    const std::vector<std::pair<int, int>> refused = {{O_RDWR | O_DIRECTORY, ENOTDIR},
                                                      {O_RDWR | O_CREAT | O_EXCL, EEXIST}};
    for (const auto &[flags, error] : refused) {
        errno = 0;
        expect_answer(::open("/dev/port", flags, 0600), -1, error, "open refused");
    }
    const int reading = ::open("/dev/port", O_RDONLY);
    errno = 0;
    expect_answer(::write(reading, "x", 1), -1, EBADF, "write to a read-only open");
    ::close(reading);
    const int writing = ::openat(AT_FDCWD, "/dev/port", O_WRONLY);
    std::uint8_t byte = 0;
    errno = 0;
    expect_answer(::read(writing, &byte, 1), -1, EBADF, "read from a write-only open");
    ::close(writing);
}

// stdio is not served (its own stream would read ports the kernel's file
// would not): fopen reaches the kernel, which refuses the program without
// CAP_SYS_RAWIO, and nothing is transferred.
void check_stream()
{
    new_transfers();
    FILE *stream = std::fopen("/dev/port", "r+");
    expect(stream == nullptr, "fopen refused");
    if (stream != nullptr)
        std::fclose(stream);
    const std::vector<std::string> transfers = new_transfers();
    expect(transfers.empty(), "fopen transferred nothing: " + joined(transfers));
}

// Each way of closing a descriptor behind qport-run's back: the number,
// reused for a regular file, is that file and never the port.
void check_stale_descriptors()
{
    for (const auto &[way, close_behind] : ways_to_close_behind_the_back()) {
        const int port = ::open("/dev/port", O_RDWR);
        ::lseek(port, 0x300, SEEK_SET);
        close_behind(port);
        char name[] = "/tmp/qport-run-port-reuse-XXXXXX";
        const int file = ::mkstemp(name);
        ::unlink(name);
        expect(file == port, std::string(way) + ": the number is reused");
        new_transfers();
        expect_answer(::write(file, "hello", 5), 5, 0, std::string(way) + ": write");
        expect_answer(::lseek(file, 1, SEEK_SET), 1, 0, std::string(way) + ": lseek");
        char back[8] = {};
        expect_answer(::read(file, back, sizeof back), 4, 0, std::string(way) + ": read");
        expect(std::strcmp(back, "ello") == 0, std::string(way) + ": the file's own bytes");
        expect_answer(::pread(file, back, 1, 0), 1, 0, std::string(way) + ": pread");
        expect_answer(::lseek(file, 0, SEEK_END), 5, 0, std::string(way) + ": SEEK_END");
        struct stat status {};
        expect(::fstat(file, &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 5,
               std::string(way) + ": fstat shows the file");
        const std::vector<std::string> transfers = new_transfers();
        expect(transfers.empty(), std::string(way) + ": no transfer: " + joined(transfers));
        ::close(file);
    }
}

int run_table(const char *trace_path)
{
    trace = std::fopen(trace_path, "r");
    if (trace == nullptr) {
        std::printf("FAIL: no trace at %s\n", trace_path);
        return 1;
    }
    check_paths();
    for (const Case &one : cases) {
        const int before = failures;
        const int descriptor = ::open("/dev/port", O_RDWR | O_CLOEXEC);
        expect(descriptor >= 0, "open /dev/port");
        new_transfers();
        one.run(descriptor);
        const std::vector<std::string> transfers = new_transfers();
        expect(transfers == one.transfers,
               "transfers " + joined(transfers) + ", wanted " + joined(one.transfers));
        ::close(descriptor);
        if (failures != before)
            std::printf("  in case: %s\n", one.name);
    }
    check_stream();
    check_stale_descriptors();
    if (failures == 0)
        std::printf("PASS: %zu cases\n", cases.size());
    return failures == 0 ? 0 : 1;
}

// The hardware build leaves /dev/port to the kernel: its status is the
// kernel's (a raw system call's), whatever that is here. Nothing opens it.
int check_not_served()
{
    struct stat served {};
    struct stat kernels {};
    errno = 0;
    const int served_result = ::stat("/dev/port", &served);
    const int served_error = errno;
    const long kernels_result = ::syscall(SYS_newfstatat, AT_FDCWD, "/dev/port", &kernels, 0);
    expect(served_result == kernels_result &&
               (served_result != 0
                    ? served_error == errno
                    : served.st_ino == kernels.st_ino && served.st_dev == kernels.st_dev),
           "/dev/port's status is the kernel's");
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--not-served") == 0)
        return check_not_served();
    if (argc == 2)
        return run_table(argv[1]);
    std::fprintf(stderr, "usage: qport_run_port_subject TRACE | --not-served\n");
    return 2;
}
