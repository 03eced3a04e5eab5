// SPDX-License-Identifier: LGPL-2.1-or-later
// What a trapped port transfer costs against the least a fault can cost,
// and what a rewritten one costs: run under qport-run, it times in the
// same process
//   bare     the port instruction faults and a handler of its own does
//            nothing but step past it (the preload's handler set aside);
//   trapped  the same instruction through the preload, decoded and made as
//            a transfer on qport's simulated port space;
//   hot      a site of its own that the preload rewrites once it is hot
//            (into a jump to a trampoline that makes the transfer without
//            a fault; with --no-patch it stays trapped).
// The bare and trapped rounds use an inb with an empty REX prefix, a form
// the rewriter leaves trapped, so that the fault's floor stays measured.
// Rounds alternate between the three; the medians are printed.
// With "alternate", both run on an alternate signal stack, where the
// program's own SA_ONSTACK handler puts the trap (and its room check).
//     qport-run qport_trap_bench [ROUNDS [FAULTS_PER_ROUND [alternate]]]
// It refuses to run (exit 4) unless the preload is in front and the process
// holds no CAP_SYS_RAWIO, so the instruction can never reach a real port.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <sys/io.h>
#include <ucontext.h>

#include "timing.h"

namespace {

using sigaction_function = int (*)(int, const struct sigaction *, struct sigaction *);

bool trapped_safely()
{
    Dl_info info{};
    void *ioperm_found = ::dlsym(RTLD_DEFAULT, "ioperm");
    if (ioperm_found == nullptr || ::dladdr(ioperm_found, &info) == 0 ||
        info.dli_fname == nullptr || std::strstr(info.dli_fname, "libqport-run.so") == nullptr)
        return false;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if ((line.starts_with("CapEff:") || line.starts_with("CapPrm:")) &&
            ((std::strtoull(line.c_str() + 7, nullptr, 16) >> 17) & 1U) != 0)
            return false;
    }
    return true;
}

void step_past(int /*signal*/, siginfo_t * /*info*/, void *context)
{
    static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_RIP] += 2; // rex inb %dx, %al
}

// The thread's CPU time (user and system): on a shared machine the wall
// clock also counts other programs' turns.
double cpu_nanoseconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// CPU time per execution of the last round timed.
double last_cpu_ns = 0;

double nanoseconds_per_fault(long faults)
{
    const double cpu_start = cpu_nanoseconds();
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < faults; ++i) {
        std::uint8_t value = 0;
        // inb %dx, %al with an empty REX prefix: never rewritten.
        asm volatile(".byte 0x40, 0xec" : "=a"(value) : "d"(std::uint16_t{0x379}) : "memory");
    }
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    last_cpu_ns = (cpu_nanoseconds() - cpu_start) / static_cast<double>(faults);
    return took.count() / static_cast<double>(faults);
}

// The hot site's first byte: a jump (E9) once rewritten.
const volatile std::uint8_t *hot_site = nullptr;

double nanoseconds_per_hot_transfer(long transfers)
{
    const double cpu_start = cpu_nanoseconds();
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < transfers; ++i) {
        std::uint8_t value = 0;
        const std::uint8_t *site = nullptr;
        asm volatile("lea 1f(%%rip), %1\n1: inb %w2, %b0"
                     : "=a"(value), "=r"(site)
                     : "Nd"(std::uint16_t{0x379})
                     : "memory");
        hot_site = site;
    }
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    last_cpu_ns = (cpu_nanoseconds() - cpu_start) / static_cast<double>(transfers);
    return took.count() / static_cast<double>(transfers);
}

} // namespace

int main(int argc, char **argv)
{
    const long rounds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 21;
    const long faults = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 20000;
    const bool alternate = argc > 3 && std::strcmp(argv[3], "alternate") == 0;
    if (rounds < 1 || faults < 1 || (argc > 3 && !alternate)) {
        std::fputs("usage: qport_trap_bench [ROUNDS [FAULTS_PER_ROUND [alternate]]]\n", stderr);
        return 2;
    }
    if (!trapped_safely()) {
        std::fputs("qport_trap_bench: run it under qport-run --simulated\n", stderr);
        return 4;
    }
    // The port is the program's to use, as it asks the preload.
    if (::ioperm(0x379, 1, 1) != 0) {
        std::perror("qport_trap_bench: ioperm");
        return 1;
    }
    // The C library's own sigaction, past the preload's.
    void *libc = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    auto libc_sigaction = reinterpret_cast<sigaction_function>(
        libc != nullptr ? ::dlsym(libc, "sigaction") : nullptr);
    if (libc_sigaction == nullptr) {
        std::fputs("qport_trap_bench: cannot find the C library's sigaction\n", stderr);
        return 1;
    }
    struct sigaction bare {};
    bare.sa_sigaction = step_past;
    bare.sa_flags = SA_SIGINFO | (alternate ? SA_ONSTACK : 0);
    if (alternate) {
        static char stack[64 * 1024];
        stack_t alternate_stack{};
        alternate_stack.ss_sp = stack;
        alternate_stack.ss_size = sizeof stack;
        ::sigaltstack(&alternate_stack, nullptr);
        // Through the preload: its trap follows the program's handler there.
        ::sigaction(SIGSEGV, &bare, nullptr);
    }
    struct sigaction preload_trap {};

    std::vector<double> bare_ns, trapped_ns, hot_ns, bare_cpu, trapped_cpu, hot_cpu;
    nanoseconds_per_fault(faults / 10 + 1);        // warm up the trapped path
    nanoseconds_per_hot_transfer(faults / 10 + 1); // and make the hot site hot
    // Rewritten, hot transfers cost far less than faults: as many more of
    // them as make a round about as long.
    const long hot_transfers = *hot_site == 0xE9 ? faults * 100 : faults;
    for (long round = 0; round < rounds; ++round) {
        libc_sigaction(SIGSEGV, &bare, &preload_trap);
        bare_ns.push_back(nanoseconds_per_fault(faults));
        bare_cpu.push_back(last_cpu_ns);
        libc_sigaction(SIGSEGV, &preload_trap, nullptr);
        trapped_ns.push_back(nanoseconds_per_fault(faults));
        trapped_cpu.push_back(last_cpu_ns);
        hot_ns.push_back(nanoseconds_per_hot_transfer(hot_transfers));
        hot_cpu.push_back(last_cpu_ns);
    }
    const double bare_median = median(bare_ns);
    const double trapped_median = median(trapped_ns);
    std::printf("bare fault-and-return: %.0f ns (%.0f to %.0f)\n", bare_median,
                *std::min_element(bare_ns.begin(), bare_ns.end()),
                *std::max_element(bare_ns.begin(), bare_ns.end()));
    std::printf("trapped transfer: %.0f ns (%.0f to %.0f)\n", trapped_median,
                *std::min_element(trapped_ns.begin(), trapped_ns.end()),
                *std::max_element(trapped_ns.begin(), trapped_ns.end()));
    std::printf("trapped / bare: %.2f (%ld rounds of %ld faults each%s)\n",
                trapped_median / bare_median, rounds, faults,
                alternate ? ", on an alternate stack" : "");
    std::printf("hot transfer (%s): %.1f ns (%.1f to %.1f; rounds of %ld)\n",
                *hot_site == 0xE9 ? "site rewritten" : "site trapped", median(hot_ns),
                *std::min_element(hot_ns.begin(), hot_ns.end()),
                *std::max_element(hot_ns.begin(), hot_ns.end()), hot_transfers);
    std::printf("thread CPU time: bare %.0f ns, trapped %.0f ns, hot %.1f ns (medians)\n",
                median(bare_cpu), median(trapped_cpu), median(hot_cpu));
    return 0;
}
