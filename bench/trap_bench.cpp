// SPDX-License-Identifier: LGPL-2.1-or-later
// What a trapped port transfer costs against the least a fault can cost:
// run under qport-run, it times in the same process
//   bare     the port instruction faults and a handler of its own does
//            nothing but step past it (the preload's handler set aside);
//   trapped  the same instruction through the preload, decoded and made as
//            a transfer on qport's simulated port space.
// Rounds alternate between the two; the medians and their ratio are printed.
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
    static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_RIP] += 1; // inb %dx, %al
}

double nanoseconds_per_fault(long faults)
{
    return ns_per_call(faults, [](long /*at*/) {
        std::uint8_t value = 0;
        asm volatile("inb %w1, %b0" : "=a"(value) : "Nd"(std::uint16_t{0x379}) : "memory");
    });
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

    std::vector<double> bare_ns, trapped_ns;
    nanoseconds_per_fault(faults / 10 + 1); // warm up the trapped path
    for (long round = 0; round < rounds; ++round) {
        libc_sigaction(SIGSEGV, &bare, &preload_trap);
        bare_ns.push_back(nanoseconds_per_fault(faults));
        libc_sigaction(SIGSEGV, &preload_trap, nullptr);
        trapped_ns.push_back(nanoseconds_per_fault(faults));
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
    return 0;
}
