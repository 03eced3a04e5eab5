// SPDX-License-Identifier: LGPL-2.1-or-later
// The state behind ports_and_memory.h (qport's entry points, SIGSEGV open
// inside the trap), and the program's memory reached from the preload's
// own calls (device_files.h).
#include <cstddef>
#include <cstdint>

#include <sys/syscall.h>
#include <unistd.h>

#include "device_files.h"
#include "ports_and_memory.h"
#include "preload.h"

namespace qport_run::preload {

constinit thread_local bool calling_qport __attribute__((tls_model("initial-exec"))) = false;
Qport qport;

constinit thread_local int segv_open_depth __attribute__((tls_model("initial-exec"))) = 0;
constinit thread_local bool trap_on_alternate_stack __attribute__((tls_model("initial-exec"))) =
    false;
constinit thread_local stack_t saved_alternate_stack __attribute__((tls_model("initial-exec"))){};
constinit thread_local bool segv_was_sent __attribute__((tls_model("initial-exec"))) = false;
constinit thread_local siginfo_t sent_segv __attribute__((tls_model("initial-exec"))){};
constinit thread_local ProbeFault probe_fault __attribute__((tls_model("initial-exec"))){};
constinit thread_local bool probe_faulted __attribute__((tls_model("initial-exec"))) = false;

namespace {

// The program's memory reached directly from a call it made (not from the
// trap), a fault in it answered instead of taken: the ppdev emulation's
// small arguments, without a system call each. SIGSEGV is open there
// already; a SIGSEGV a process sends meanwhile is sent again after.
class ProbedFromCall {
public:
    ProbedFromCall() { ++segv_open_depth; }
    ~ProbedFromCall()
    {
        if (--segv_open_depth == 0 && segv_was_sent) {
            segv_was_sent = false;
            ::syscall(SYS_rt_tgsigqueueinfo, ::getpid(), ::gettid(), SIGSEGV, &sent_segv);
        }
    }
    ProbedFromCall(const ProbedFromCall &) = delete;
    ProbedFromCall &operator=(const ProbedFromCall &) = delete;
};

} // namespace

} // namespace qport_run::preload

using namespace qport_run::preload;

bool qport_run::read_program_memory(void *to, const void *from, std::size_t size)
{
    const ProbedFromCall probed;
    auto *bytes = static_cast<std::uint8_t *>(to);
    for (std::size_t at = 0; at < size; ++at) {
        probe_faulted = false;
        const std::uint32_t value = qport_run_probe_load(static_cast<const char *>(from) + at, 1);
        if (probe_faulted)
            return false;
        bytes[at] = static_cast<std::uint8_t>(value);
    }
    return true;
}

bool qport_run::write_program_memory(void *to, const void *from, std::size_t size)
{
    const ProbedFromCall probed;
    const auto *bytes = static_cast<const std::uint8_t *>(from);
    for (std::size_t at = 0; at < size; ++at) {
        probe_faulted = false;
        qport_run_probe_store(static_cast<char *>(to) + at, 1, bytes[at]);
        if (probe_faulted)
            return false;
    }
    return true;
}
