// SPDX-License-Identifier: LGPL-2.1-or-later
// Nanoseconds per port transfer inside the emulated PC, three ways:
//   library   inportb, inportw, inport and outportb of the hardware build
//   inline    the same instruction written inline (<sys/io.h>)
//   /dev/port pread or pwrite of one byte (8-bit transfers only)
// and then, in a child that runs as user 65534 in group lp (the kernel
// refuses it direct access), byte transfers on the parallel port's data
// register two ways:
//   route     inportb and outportb of the hardware build, which go through
//             /dev/parport0
//   ioctl     PPRDATA and PPWDATA by hand, on the same claimed device
// First it finds which of a few harmless ports the machine answers fastest,
// then it times every method on that port in interleaved rounds (each round
// runs every method once, in the same order) and reports the median per
// method, one "qport-bench:" line each, for bench/run-benchmarks to collect.
//
// Under TCG a transfer's time is mostly QEMU's emulation of the instruction;
// the ratios between methods are what carries over to real hardware.
//
// Batches are timed with the time-stamp counter, whose rate is measured
// against CLOCK_MONOTONIC over the whole run: under TCG the kernel may give
// up on the TSC as a clock source and fall back to jiffies (4 ms steps),
// too coarse for one batch but not for the whole run.
//
// Runs only in the emulated PC's bench phase; it makes real port transfers.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <linux/ppdev.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <x86intrin.h>

#include "guest_support.h"
#include "inherited_descriptors.h"
#include "qport.h"
#include "qport_ext.h"
#include "timing.h"

namespace {

// Ports whose reads and writes change nothing that matters here: QEMU's
// POST diagnostic port, the parallel port's data register (its output is
// the null device) and a port no device claims.
struct Candidate {
    std::uint16_t port;
    const char *what;
};
constexpr Candidate candidates[] = {
    {0x0080, "POST diagnostic port"},
    {0x0378, "parallel port data register"},
    {0x0300, "unbacked port"},
};

constexpr long transfers_per_batch = 20000;
constexpr long dev_port_transfers_per_batch = 2000;
constexpr int survey_rounds = 11;
constexpr int rounds = 51;

volatile int sink;

std::int64_t now_ns()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double ticks_per_transfer(long count, const std::function<void(long)> &batch)
{
    const unsigned long long start = __rdtsc();
    batch(count);
    return static_cast<double>(__rdtsc() - start) / static_cast<double>(count);
}

// Time-stamp counter against CLOCK_MONOTONIC since construction.
struct TickRate {
    std::int64_t start_ns = now_ns();
    unsigned long long start_ticks = __rdtsc();

    double nanoseconds_per_tick() const
    {
        return static_cast<double>(now_ns() - start_ns) /
               static_cast<double>(__rdtsc() - start_ticks);
    }
};

void say(const std::string &line)
{
    std::printf("qport-bench: %s\n", line.c_str());
    std::fflush(stdout);
}

std::string format(const char *pattern, auto... values)
{
    char text[160];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// One timed thing: a batch runs count transfers in one loop, so that the
// std::function call is paid once per batch, not per transfer.
struct Method {
    std::string operation;
    std::string way;
    long count;
    std::function<void(long)> batch;
    std::vector<double> samples;
};

std::vector<Method> methods_on(std::uint16_t port, int dev_port)
{
    const auto signed_port = static_cast<short>(port);
    const auto offset = static_cast<off_t>(port);
    std::vector<Method> methods;
    const auto add = [&](const char *operation, const char *way, long count,
                         std::function<void(long)> batch) {
        methods.push_back({operation, way, count, std::move(batch), {}});
    };
    add("inportb", "library", transfers_per_batch, [=](long count) {
        for (long i = 0; i < count; ++i)
            sink = inportb(signed_port);
    });
    add("inportb", "inline", transfers_per_batch, [=](long count) {
        for (long i = 0; i < count; ++i)
            sink = ::inb(port);
    });
    add("inportb", "/dev/port", dev_port_transfers_per_batch, [=](long count) {
        unsigned char byte = 0;
        for (long i = 0; i < count; ++i) {
            if (::pread(dev_port, &byte, 1, offset) != 1)
                std::abort();
            sink = byte;
        }
    });
    add("inportw", "library", transfers_per_batch, [=](long count) {
        for (long i = 0; i < count; ++i)
            sink = inportw(signed_port);
    });
    add("inportw", "inline", transfers_per_batch, [=](long count) {
        for (long i = 0; i < count; ++i)
            sink = ::inw(port);
    });
    add("inport", "library", transfers_per_batch, [=](long count) {
        for (long i = 0; i < count; ++i)
            sink = inport(signed_port);
    });
    add("inport", "inline", transfers_per_batch, [=](long count) {
        for (long i = 0; i < count; ++i)
            sink = static_cast<int>(::inl(port));
    });
    add("outportb", "library", transfers_per_batch, [=](long count) {
        for (long i = 0; i < count; ++i)
            outportb(signed_port, static_cast<char>(i));
    });
    add("outportb", "inline", transfers_per_batch, [=](long count) {
        for (long i = 0; i < count; ++i)
            ::outb(static_cast<unsigned char>(i), port);
    });
    add("outportb", "/dev/port", dev_port_transfers_per_batch, [=](long count) {
        for (long i = 0; i < count; ++i) {
            const auto byte = static_cast<unsigned char>(i);
            if (::pwrite(dev_port, &byte, 1, offset) != 1)
                std::abort();
        }
    });
    return methods;
}

// Medians of each candidate's inline 8-bit read and write, in ticks, and
// the candidate whose read plus write QEMU emulates fastest.
struct Survey {
    std::vector<double> read_ticks;
    std::vector<double> write_ticks;
    std::size_t fastest = 0;
};

Survey survey_candidates()
{
    std::vector<std::vector<double>> reads(std::size(candidates));
    std::vector<std::vector<double>> writes(std::size(candidates));
    for (int round = 0; round < survey_rounds; ++round) {
        for (std::size_t index = 0; index < std::size(candidates); ++index) {
            const std::uint16_t port = candidates[index].port;
            reads[index].push_back(ticks_per_transfer(transfers_per_batch, [=](long count) {
                for (long i = 0; i < count; ++i)
                    sink = ::inb(port);
            }));
            writes[index].push_back(ticks_per_transfer(transfers_per_batch, [=](long count) {
                for (long i = 0; i < count; ++i)
                    ::outb(0, port);
            }));
        }
    }
    Survey survey;
    for (std::size_t index = 0; index < std::size(candidates); ++index) {
        survey.read_ticks.push_back(median(reads[index]));
        survey.write_ticks.push_back(median(writes[index]));
        const double total = survey.read_ticks[index] + survey.write_ticks[index];
        if (total < survey.read_ticks[survey.fastest] + survey.write_ticks[survey.fastest])
            survey.fastest = index;
    }
    return survey;
}

std::string first_line_of(const char *path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

double median_of(const std::vector<Method> &methods, const std::string &operation,
                 const std::string &way)
{
    for (const Method &method : methods) {
        if (method.operation == operation && method.way == way)
            return median(method.samples);
    }
    return 0;
}

// The parallel port's data register through the route, and by hand.
constexpr std::uint16_t parallel_data = 0x378;
constexpr long route_transfers_per_batch = 2000;
constexpr gid_t lp_group = 7;
constexpr uid_t unprivileged_id = 65534;

// The descriptor the library opened on the parallel port, or -1.
int library_parport_fd()
{
    for (int fd = 0; fd < 64; ++fd) {
        char link[64];
        char target[64] = {};
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        if (::readlink(link, target, sizeof target - 1) > 0 &&
            std::string(target) == "/dev/parport0")
            return fd;
    }
    return -1;
}

std::vector<Method> route_methods(int fd)
{
    const auto port = static_cast<short>(parallel_data);
    std::vector<Method> methods;
    const auto add = [&](const char *operation, const char *way, std::function<void(long)> batch) {
        methods.push_back({operation, way, route_transfers_per_batch, std::move(batch), {}});
    };
    add("inportb", "route", [=](long count) {
        for (long i = 0; i < count; ++i)
            sink = inportb(port);
    });
    add("inportb", "ioctl", [=](long count) {
        for (long i = 0; i < count; ++i) {
            unsigned char byte = 0;
            if (::ioctl(fd, PPRDATA, &byte) != 0)
                std::abort();
            sink = byte;
        }
    });
    add("outportb", "route", [=](long count) {
        for (long i = 0; i < count; ++i)
            outportb(port, static_cast<char>(i));
    });
    add("outportb", "ioctl", [=](long count) {
        for (long i = 0; i < count; ++i) {
            auto byte = static_cast<unsigned char>(i);
            if (::ioctl(fd, PPWDATA, &byte) != 0)
                std::abort();
        }
    });
    return methods;
}

// In the child without port access: the route against the bare ioctl, in
// interleaved rounds on the device the library claimed.
int bench_route()
{
    if (qport_access_status() != QPORT_ACCESS_PARPORT_ONLY) {
        std::fprintf(stderr, "no parallel port route: %s\n", qport_access_message());
        return 1;
    }
    sink = inportb(static_cast<short>(parallel_data)); // claims the port
    const int fd = library_parport_fd();
    if (fd < 0) {
        std::fprintf(stderr, "the library holds no /dev/parport0\n");
        return 1;
    }
    const TickRate tick_rate;
    auto methods = route_methods(fd);
    for (Method &method : methods)
        ticks_per_transfer(method.count, method.batch);
    for (int round = 0; round < rounds; ++round) {
        for (Method &method : methods)
            method.samples.push_back(ticks_per_transfer(method.count, method.batch));
    }
    const double ns_per_tick = tick_rate.nanoseconds_per_tick();
    say(format("parallel port 0x%04x as uid %u in group lp, %d rounds, %ld transfers per batch",
               parallel_data, ::getuid(), rounds, route_transfers_per_batch));
    for (const Method &method : methods) {
        const auto [lowest, highest] =
            std::minmax_element(method.samples.begin(), method.samples.end());
        say(format("median %s %s %.1f ns (range %.1f to %.1f)", method.operation.c_str(),
                   method.way.c_str(), median(method.samples) * ns_per_tick, *lowest * ns_per_tick,
                   *highest * ns_per_tick));
    }
    for (const char *operation : {"inportb", "outportb"})
        say(format("ratio %s route/ioctl %.3f", operation,
                   median_of(methods, operation, "route") /
                       median_of(methods, operation, "ioctl")));
    return 0;
}

// Runs this program again as user 65534 in group lp: leaving uid 0 drops
// CAP_SYS_RAWIO, so the library there is refused direct access.
int run_route_child(const char *program)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(1, &lp_group) != 0 || ::setgid(unprivileged_id) != 0 ||
            ::setuid(unprivileged_id) != 0)
            ::_exit(127);
        char *const arguments[] = {const_cast<char *>(program), const_cast<char *>("--route"),
                                   nullptr};
        ::execv(program, arguments);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (!guest::holds_only_standard_descriptors())
        return 1;
    const char *variable = std::getenv("QPORT_GUEST_PHASE");
    if (variable == nullptr || std::string(variable) != "bench" ||
        guest::phase_on_kernel_command_line() != "bench") {
        std::fprintf(stderr, "This program runs only inside the emulated PC's bench phase, "
                             "started by its /init (qport.phase=bench).\n");
        return 2;
    }
    if (argc == 2 && std::string(argv[1]) == "--route")
        return bench_route();
    if (qport_access_status() != QPORT_ACCESS_GRANTED) {
        std::fprintf(stderr, "port access refused: %s\n", qport_access_message());
        return 1;
    }
    const int dev_port = ::open("/dev/port", O_RDWR | O_CLOEXEC);
    if (dev_port < 0) {
        std::fprintf(stderr, "cannot open /dev/port: %s\n", std::strerror(errno));
        return 1;
    }

    const TickRate tick_rate;
    const Survey survey = survey_candidates();
    const std::uint16_t port = candidates[survey.fastest].port;
    auto methods = methods_on(port, dev_port);
    for (Method &method : methods) // warm-up: page faults, caches, translated code
        ticks_per_transfer(method.count, method.batch);
    for (int round = 0; round < rounds; ++round) {
        for (Method &method : methods)
            method.samples.push_back(ticks_per_transfer(method.count, method.batch));
    }
    const double ns_per_tick = tick_rate.nanoseconds_per_tick();

    say(format(
        "clock source %s, TSC at %.1f MHz",
        first_line_of("/sys/devices/system/clocksource/clocksource0/current_clocksource").c_str(),
        1e3 / ns_per_tick));
    for (std::size_t index = 0; index < std::size(candidates); ++index) {
        say(format("survey port 0x%04x (%s): inb %.1f ns, outb %.1f ns, reads 0x%02x",
                   candidates[index].port, candidates[index].what,
                   survey.read_ticks[index] * ns_per_tick, survey.write_ticks[index] * ns_per_tick,
                   ::inb(candidates[index].port)));
    }
    say(format("port 0x%04x, %d rounds, %ld transfers per batch (/dev/port %ld)", port, rounds,
               transfers_per_batch, dev_port_transfers_per_batch));
    for (const Method &method : methods) {
        const auto [lowest, highest] =
            std::minmax_element(method.samples.begin(), method.samples.end());
        say(format("median %s %s %.1f ns (range %.1f to %.1f)", method.operation.c_str(),
                   method.way.c_str(), median(method.samples) * ns_per_tick, *lowest * ns_per_tick,
                   *highest * ns_per_tick));
    }
    for (const char *operation : {"inportb", "inportw", "inport", "outportb"}) {
        const double library = median_of(methods, operation, "library");
        say(format("ratio %s library/inline %.3f", operation,
                   library / median_of(methods, operation, "inline")));
        const double dev_port_time = median_of(methods, operation, "/dev/port");
        if (dev_port_time > 0)
            say(format("ratio %s /dev/port/library %.2f", operation, dev_port_time / library));
    }
    ::close(dev_port);
    return run_route_child(argv[0]);
}
