// SPDX-License-Identifier: LGPL-2.1-or-later
// A ppdev program, run under qport-run --simulated with the loopback plug
// on lpt1 (QPORT_SIM_DEVICE=loopback):
//     qport_run_ppdev_subject           every case of the table below
//     qport_run_ppdev_subject write-data HEX   claim parport0 and write HEX
// Each case opens /dev/parport0 anew and makes a sequence of requests, each
// with the answer ppdev gives; it prints each one that differs and exits
// with 1 if any did.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <utility>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "subject_checks.h"

namespace {

// One request and the answer it must get: 0, or -1 with errno error.
void expect_request(int descriptor, unsigned long request, void *argument, int error,
                    const std::string &what)
{
    errno = 0;
    const int result = ::ioctl(descriptor, request, argument);
    const int got = result == 0 ? 0 : errno;
    expect(got == error && (result == 0) == (error == 0),
           what + ": errno " + std::to_string(got) + ", wanted " + std::to_string(error));
}

// Memory that no pointer may reach: a page without access.
void *unreachable()
{
    static void *page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return page;
}

struct Case {
    const char *name;
    std::function<void(int)> run;
};

int open_port(const char *path = "/dev/parport0", int flags = O_RDWR)
{
    const int descriptor = ::open(path, flags);
    if (descriptor < 0) {
        std::printf("FAIL: open %s: %s\n", path, std::strerror(errno));
        std::exit(1);
    }
    return descriptor;
}

std::uint8_t read_register(int descriptor, unsigned long request)
{
    std::uint8_t value = 0;
    expect_request(descriptor, request, &value, 0, "a register read");
    return value;
}

void on_alarm(int /*signal*/) {}

// A read in a reverse mode that the plug never answers: at once with
// O_NONBLOCK, else until a signal comes.
void expect_no_reverse_data(int fd, int mode, const char *name)
{
    expect_request(fd, PPSETMODE, &mode, 0, std::string("PPSETMODE ") + name);
    std::uint8_t bytes[4] = {};
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    errno = 0;
    expect(::read(fd, bytes, sizeof bytes) == -1 && errno == EAGAIN,
           std::string(name) + " read without blocking: EAGAIN");
    ::fcntl(fd, F_SETFL, 0);
    struct sigaction action {};
    action.sa_handler = on_alarm;
    ::sigaction(SIGALRM, &action, nullptr);
    itimerval soon{{0, 0}, {0, 200000}};
    ::setitimer(ITIMER_REAL, &soon, nullptr);
    errno = 0;
    expect(::read(fd, bytes, sizeof bytes) == -1 && errno == EINTR,
           std::string(name) + " read waits until a signal: EINTR");
}

const std::vector<Case> cases = {
    {"register requests before PPCLAIM",
     [](int fd) {
         std::uint8_t byte = 0x55;
         const unsigned long needing_claim[] = {PPWDATA,    PPRDATA,   PPRSTATUS, PPRCONTROL,
                                                PPWCONTROL, PPRELEASE, PPYIELD,   PPNEGOT,
                                                PPDATADIR,  PPCLRIRQ};
         for (const unsigned long request : needing_claim)
             expect_request(fd, request, &byte, EINVAL, "unclaimed " + std::to_string(request));
         errno = 0;
         expect(::write(fd, "x", 1) == -1 && errno == EINVAL, "write before PPCLAIM: EINVAL");
         errno = 0;
         expect(::read(fd, &byte, 1) == -1 && errno == EINVAL, "read before PPCLAIM: EINVAL");
     }},
    {"requests every file may make",
     [](int fd) {
         unsigned modes = 0;
         expect_request(fd, PPGETMODES, &modes, 0, "PPGETMODES");
         expect(modes == (PARPORT_MODE_PCSPP | PARPORT_MODE_SAFEININT), "the port's modes");
         int mode = -1;
         expect_request(fd, PPGETMODE, &mode, 0, "PPGETMODE");
         expect(mode == IEEE1284_MODE_COMPAT, "compatibility mode at open");
         int flags = 0xFFFF;
         expect_request(fd, PPSETFLAGS, &flags, 0, "PPSETFLAGS");
         expect_request(fd, PPGETFLAGS, &flags, 0, "PPGETFLAGS");
         expect(flags == PP_FLAGMASK, "flags keep PP_FLAGMASK only");
         int phase = 3;
         expect_request(fd, PPSETPHASE, &phase, 0, "PPSETPHASE");
         phase = 0;
         expect_request(fd, PPGETPHASE, &phase, 0, "PPGETPHASE");
         expect(phase == 3, "the phase set");
     }},
    {"unknown and obsolete requests",
     [](int fd) {
         const unsigned long unknown = _IO(PP_IOCTL, 0x70);
         const unsigned long obsolete_write_status = _IOW(PP_IOCTL, 0x82, unsigned char);
         std::uint8_t byte = 0;
         expect_request(fd, unknown, &byte, EINVAL, "unknown request, unclaimed");
         expect_request(fd, PPCLAIM, nullptr, 0, "PPCLAIM");
         expect_request(fd, unknown, &byte, EINVAL, "unknown request, claimed");
         expect_request(fd, obsolete_write_status, &byte, EINVAL, "PPWSTATUS");
         expect_request(fd, TCGETS, &byte, EINVAL, "a terminal's request");
     }},
    {"bad pointers",
     [](int fd) {
         expect_request(fd, PPGETMODES, nullptr, EFAULT, "PPGETMODES to null");
         expect_request(fd, PPSETMODE, unreachable(), EFAULT, "PPSETMODE from no memory");
         expect_request(fd, PPCLAIM, nullptr, 0, "PPCLAIM");
         expect_request(fd, PPWDATA, unreachable(), EFAULT, "PPWDATA from no memory");
         expect_request(fd, PPRSTATUS, nullptr, EFAULT, "PPRSTATUS to null");
         // Read-only memory: the text of this program.
         expect_request(fd, PPRDATA, reinterpret_cast<void *>(&open_port), EFAULT,
                        "PPRDATA to read-only memory");
         expect_request(fd, PPGETTIME, unreachable(), EFAULT, "PPGETTIME to no memory");
         errno = 0;
         expect(::write(fd, unreachable(), 4) == -1 && errno == EFAULT, "write from no memory");
     }},
    {"registers through the loopback plug",
     [](int fd) {
         expect_request(fd, PPCLAIM, nullptr, 0, "PPCLAIM");
         expect_request(fd, PPCLAIM, nullptr, EINVAL, "PPCLAIM again");
         std::uint8_t byte = 0x55;
         expect_request(fd, PPWDATA, &byte, 0, "PPWDATA");
         expect(read_register(fd, PPRDATA) == 0x55, "the data latch reads back");
         // D0 -> nError: status bit 3 follows data bit 0.
         expect((read_register(fd, PPRSTATUS) & 0x08) != 0, "D0 high reaches nError");
         byte = 0x54;
         expect_request(fd, PPWDATA, &byte, 0, "PPWDATA");
         expect((read_register(fd, PPRSTATUS) & 0x08) == 0, "D0 low reaches nError");
         expect(read_register(fd, PPRCONTROL) == 0x0C, "control as parport_pc restores it");
         byte = 0xFF;
         expect_request(fd, PPWCONTROL, &byte, 0, "PPWCONTROL");
         expect(read_register(fd, PPRCONTROL) == 0x0F, "only the four lines are kept");
         // nSelectIn -> Busy: status bit 7 follows control bit 3.
         expect((read_register(fd, PPRSTATUS) & 0x80) != 0, "nSelectIn reaches Busy");
         ppdev_frob_struct frob{PARPORT_CONTROL_SELECT | PARPORT_CONTROL_STROBE, 0};
         expect_request(fd, PPFCONTROL, &frob, 0, "PPFCONTROL");
         expect(read_register(fd, PPRCONTROL) == 0x06, "PPFCONTROL clears what its mask names");
         expect((read_register(fd, PPRSTATUS) & 0x80) == 0, "nSelectIn high, Busy follows");
         int zero = 0;
         expect_request(fd, PPCLRIRQ, &zero, 0, "PPCLRIRQ");
         expect(zero == 0, "no interrupt counted");
         expect_request(fd, PPYIELD, nullptr, 0, "PPYIELD");
         expect_request(fd, PPRELEASE, nullptr, 0, "PPRELEASE");
         expect_request(fd, PPWDATA, &byte, EINVAL, "PPWDATA after PPRELEASE");
         // Claimed again, the control register comes back as the file left it.
         expect_request(fd, PPCLAIM, nullptr, 0, "PPCLAIM after PPRELEASE");
         expect(read_register(fd, PPRCONTROL) == 0x06, "control restored at PPCLAIM");
     }},
    {"PPEXCL before and after registration",
     [](int fd) {
         expect_request(fd, PPEXCL, nullptr, 0, "PPEXCL before PPCLAIM");
         expect_request(fd, PPCLAIM, nullptr, 0, "PPCLAIM");
         expect_request(fd, PPEXCL, nullptr, 0, "PPEXCL again, exclusive already");
         const int other = open_port();
         expect_request(other, PPCLAIM, nullptr, 0, "PPCLAIM of another file");
         expect(false, "unreachable: the port is held");
         ::close(other);
     }},
    {"negotiation and time-out",
     [](int fd) {
         expect_request(fd, PPCLAIM, nullptr, 0, "PPCLAIM");
         expect_request(fd, PPEXCL, nullptr, EINVAL, "PPEXCL once registered");
         int mode = IEEE1284_MODE_COMPAT;
         expect_request(fd, PPNEGOT, &mode, 0, "PPNEGOT to compatibility mode");
         mode = IEEE1284_MODE_NIBBLE;
         expect_request(fd, PPNEGOT, &mode, EIO, "PPNEGOT: the plug is no IEEE 1284 device");
         mode = IEEE1284_MODE_ECP;
         expect_request(fd, PPNEGOT, &mode, EIO, "PPNEGOT to ECP");
         std::uint8_t byte = 0;
         errno = 0;
         expect(::read(fd, &byte, 1) == -1 && errno == EIO,
                "read in compatibility mode: nibble mode not negotiated");
         std::int64_t time[2] = {0, 0};
         expect_request(fd, PPGETTIME, time, 0, "PPGETTIME");
         expect(time[0] == 5 && time[1] == 0, "five seconds by default");
         time[0] = 1;
         time[1] = 500000;
         expect_request(fd, PPSETTIME, time, 0, "PPSETTIME");
         time[0] = time[1] = 0;
         expect_request(fd, PPGETTIME, time, 0, "PPGETTIME");
         expect(time[0] == 1 && time[1] == 500000, "the time-out set");
         time[0] = time[1] = 0;
         expect_request(fd, PPSETTIME, time, EINVAL, "PPSETTIME of nothing");
         time[0] = -1;
         expect_request(fd, PPSETTIME, time, EINVAL, "PPSETTIME negative");
         // What overflows the kernel's jiffies, or its int of microseconds,
         // is refused and leaves the time-out as it was.
         const std::int64_t refused[][2] = {
             {INT64_MAX, 0}, {INT64_MAX / 250 + 1, 0}, {0, std::int64_t{1} << 31}, {0, -1}};
         for (const auto &bad : refused) {
             time[0] = bad[0];
             time[1] = bad[1];
             expect_request(fd, PPSETTIME, time, EINVAL,
                            "PPSETTIME {" + std::to_string(bad[0]) + ", " + std::to_string(bad[1]) +
                                "}");
         }
         time[0] = time[1] = 0;
         expect_request(fd, PPGETTIME, time, 0, "PPGETTIME");
         expect(time[0] == 1 && time[1] == 500000, "the time-out kept");
         time[0] = 4'000'000'000;
         time[1] = 0;
         expect_request(fd, PPSETTIME, time, 0, "PPSETTIME of 4e9 s");
         expect_request(fd, PPGETTIME, time, 0, "PPGETTIME");
         expect(time[0] == 4'000'000'000 && time[1] == 0, "a long time-out, never negative");
     }},
    {"a descriptor like any other",
     [](int fd) {
         expect(::fcntl(fd, F_GETFL) >= 0, "fcntl F_GETFL");
         struct stat status {};
         expect(::fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) &&
                    status.st_rdev == makedev(99, 0),
                "fstat: ppdev's character device 99:0");
         pollfd ready{fd, POLLIN | POLLOUT, 0};
         expect(::poll(&ready, 1, 0) >= 0, "poll");
         expect_request(fd, PPCLAIM, nullptr, 0, "PPCLAIM");
         const int copy = ::dup(fd);
         ::close(fd);
         std::uint8_t byte = 0xA5;
         expect_request(copy, PPWDATA, &byte, 0, "PPWDATA through a dup()");
         const int moved = ::fcntl(copy, F_DUPFD_CLOEXEC, 100);
         ::close(copy);
         expect(read_register(moved, PPRDATA) == 0xA5, "the same file through F_DUPFD");
         ::close(moved);
         // Closing the last descriptor released the port.
         const int again = open_port("/dev/parports/0");
         expect_request(again, PPCLAIM, nullptr, 0, "PPCLAIM once the holder closed");
         ::close(again);
     }},
    {"reads the plug never answers",
     [](int fd) {
         expect_request(fd, PPCLAIM, nullptr, 0, "PPCLAIM");
         std::uint8_t byte = 0;
         expect_request(fd, PPWDATA, &byte, 0, "PPWDATA");
         expect_no_reverse_data(fd, IEEE1284_MODE_NIBBLE, "nibble");
         expect_no_reverse_data(fd, IEEE1284_MODE_BYTE, "byte");
         expect_no_reverse_data(fd, IEEE1284_MODE_EPP, "EPP");
         int mode = IEEE1284_MODE_ECP;
         expect_request(fd, PPSETMODE, &mode, 0, "PPSETMODE ECP");
         errno = 0;
         expect(::read(fd, &byte, 1) == -1 && errno == EIO, "ECP read: EIO");
         mode = 0x7000;
         expect_request(fd, PPSETMODE, &mode, 0, "PPSETMODE unknown");
         errno = 0;
         expect(::read(fd, &byte, 1) == -1 && errno == ENOSYS, "read in an unknown mode");
     }},
    {"writes without a printer",
     [](int fd) {
         expect_request(fd, PPCLAIM, nullptr, 0, "PPCLAIM");
         // D0 low shows nError low, and nAutoFd high PaperOut: the plug is
         // no printer that is ready, so the write stops at once.
         std::uint8_t byte = 0;
         expect_request(fd, PPWDATA, &byte, 0, "PPWDATA");
         expect(::write(fd, "hello", 5) == 0, "nothing written to the plug");
         ::fcntl(fd, F_SETFL, O_NONBLOCK);
         errno = 0;
         expect(::write(fd, "hello", 5) == -1 && errno == EAGAIN, "EAGAIN without blocking");
         ::fcntl(fd, F_SETFL, 0);
         int mode = IEEE1284_MODE_EPP;
         expect_request(fd, PPSETMODE, &mode, 0, "PPSETMODE EPP");
         expect(::write(fd, "x", 1) == 0, "no EPP handshake from the plug");
     }},
};

void check_paths()
{
    struct stat status {};
    errno = 0;
    expect(::open("/dev/parport7", O_RDWR) == -1 && errno == ENOENT, "no port 7: ENOENT");
    expect(::stat("/dev/parport0", &status) == 0 && S_ISCHR(status.st_mode) &&
               major(status.st_rdev) == 99,
           "/dev/parport0 is ppdev's character device");
    expect(::stat("/proc/sys/dev/parport", &status) == 0 && S_ISDIR(status.st_mode) &&
               status.st_nlink > 2,
           "/proc/sys/dev/parport is a directory with entries");
    expect((status.st_mode & 077) == 0 && status.st_uid == ::geteuid(),
           "the served tree is this user's alone");
    DIR *directory = ::opendir("/proc/sys/dev/parport");
    std::string names;
    while (const dirent *entry = directory != nullptr ? ::readdir(directory) : nullptr) {
        if (entry->d_name[0] != '.')
            names += std::string(entry->d_name) + " ";
    }
    if (directory != nullptr)
        ::closedir(directory);
    expect(names.find("parport0 ") != std::string::npos &&
               names.find("default ") != std::string::npos,
           "the tree lists parport0 and default: " + names);
    FILE *base = std::fopen("/proc/sys/dev/parport/parport0/base-addr", "r");
    unsigned address = 0;
    expect(base != nullptr && std::fscanf(base, "%u", &address) == 1 && address == 0x378,
           "parport0's base-addr is 888");
    if (base != nullptr)
        std::fclose(base);
    // "." and ".." lead nowhere else than the kernel's paths would: not out
    // of the served tree, and to a served file however they are written.
    // The kernel's answer comes from a raw system call, which qport-run
    // does not see: ENOENT without a parport driver, else what the path
    // leads to. Never a file the served tree's parent holds: an attacker's
    // in /tmp, made here.
    char attackers[] = "/tmp/qport-run-escape-XXXXXX";
    expect(::mkdtemp(attackers) != nullptr, "a directory of the attacker's");
    const std::string planted = std::string(attackers) + "/ostype";
    FILE *plant = std::fopen(planted.c_str(), "w");
    if (plant != nullptr) {
        std::fputs("planted\n", plant);
        std::fclose(plant);
    }
    const std::string outside[] = {"/proc/sys/dev/parport/../../kernel/ostype",
                                   "/proc/sys/dev/parport/../../../../../../../.." + planted};
    for (const std::string &path : outside) {
        const int kernels =
            static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path.c_str(), O_RDONLY));
        const int kernels_error = errno;
        char kernels_text[16] = {};
        if (kernels >= 0) {
            expect(::read(kernels, kernels_text, sizeof kernels_text - 1) > 0, "the kernel's");
            ::close(kernels);
        }
        errno = 0;
        FILE *served = std::fopen(path.c_str(), "r");
        char text[16] = {};
        expect(served == nullptr
                   ? kernels < 0 && errno == kernels_error
                   : kernels >= 0 && std::fgets(text, sizeof text, served) != nullptr &&
                         std::strcmp(text, kernels_text) == 0,
               path + " is the kernel's, not from beside the served tree: " + text);
        if (served != nullptr)
            std::fclose(served);
    }
    ::unlink(planted.c_str());
    ::rmdir(attackers);
    address = 0;
    base = std::fopen("/proc//sys/./dev/parport/default/../parport0/base-addr", "r");
    expect(base != nullptr && std::fscanf(base, "%u", &address) == 1 && address == 0x378,
           "parport0's base-addr through . and ..");
    if (base != nullptr)
        std::fclose(base);
    expect(::stat("/dev/./parport0", &status) == 0 && major(status.st_rdev) == 99,
           "/dev/./parport0 is ppdev's character device");
}

// Each way a program closes a descriptor without the C library's close():
// the number, reused for a regular file, is that file, and the port the
// closed file held is free again.
void check_descriptors_closed_behind_the_back()
{
    for (const auto &[way, close_behind] : ways_to_close_behind_the_back()) {
        const int port = open_port();
        expect_request(port, PPCLAIM, nullptr, 0, std::string("PPCLAIM before ") + way);
        close_behind(port);
        char name[] = "/tmp/qport-run-ppdev-reuse-XXXXXX";
        const int file = ::mkstemp(name);
        ::unlink(name);
        expect(file == port, std::string(way) + ": the number is reused");
        expect(::write(file, "hello", 5) == 5, std::string(way) + ": a write to the file");
        char back[8] = {};
        expect(::pread(file, back, sizeof back, 0) == 5 && std::strcmp(back, "hello") == 0,
               std::string(way) + ": the file reads back what was written");
        ::lseek(file, 0, SEEK_SET);
        std::memset(back, 0, sizeof back);
        expect(::read(file, back, sizeof back) == 5 && std::strcmp(back, "hello") == 0,
               std::string(way) + ": read() reads the file");
        errno = 0;
        expect(::ioctl(file, PPCLAIM) == -1 && errno == ENOTTY,
               std::string(way) + ": a ppdev request to the file is the kernel's ENOTTY");
        const int copy = ::dup(file);
        expect(::read(copy, back, 1) == 0, std::string(way) + ": a dup() of it is the file");
        ::close(copy);
        ::close(file);
        const int again = open_port();
        expect_request(again, PPCLAIM, nullptr, 0, std::string(way) + ": the port is free again");
        ::close(again);
    }
}

int run_table()
{
    check_paths();
    check_descriptors_closed_behind_the_back();
    for (const Case &one : cases) {
        const int before = failures;
        const int descriptor = open_port();
        if (std::strncmp(one.name, "PPEXCL", 6) == 0) {
            // The second file's PPCLAIM waits while the first holds the
            // port, as parport_claim_or_block does: a child tries it.
            const pid_t child = ::fork();
            if (child == 0) {
                ::alarm(1);
                one.run(descriptor);
                std::_Exit(0);
            }
            int child_status = 0;
            ::waitpid(child, &child_status, 0);
            expect(WIFSIGNALED(child_status) && WTERMSIG(child_status) == SIGALRM,
                   "a second PPCLAIM waits for the holder");
        } else {
            one.run(descriptor);
        }
        ::close(descriptor);
        if (failures != before)
            std::printf("  in case: %s\n", one.name);
    }
    if (failures == 0)
        std::printf("PASS: %zu cases\n", cases.size());
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::strcmp(argv[1], "print") == 0) {
        // On the printer: all of it in compatibility mode, blocking.
        const int descriptor = open_port();
        expect_request(descriptor, PPCLAIM, nullptr, 0, "PPCLAIM");
        const auto length = static_cast<ssize_t>(std::strlen(argv[2]));
        expect(::write(descriptor, argv[2], static_cast<std::size_t>(length)) == length,
               "the whole text printed");
        return failures == 0 ? 0 : 1;
    }
    if (argc == 3 && std::strcmp(argv[1], "write-data") == 0) {
        const int descriptor = open_port();
        auto byte = static_cast<std::uint8_t>(std::strtoul(argv[2], nullptr, 16));
        expect_request(descriptor, PPCLAIM, nullptr, 0, "PPCLAIM");
        expect_request(descriptor, PPWDATA, &byte, 0, "PPWDATA");
        return failures == 0 ? 0 : 1;
    }
    return run_table();
}
