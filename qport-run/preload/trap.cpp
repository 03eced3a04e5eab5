// SPDX-License-Identifier: LGPL-2.1-or-later
// The trap: SIGSEGV's handler, which carries out the program's port
// instructions that its grant allows and hands every other fault on.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include <asm/prctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include "port_instruction.h"
#include "ports_and_memory.h"
#include "preload.h"
#include "site_rewriter.h"

// The entry reads the alternate stack from the context at these offsets.
static_assert(offsetof(ucontext_t, uc_stack.ss_sp) == 16);
static_assert(offsetof(ucontext_t, uc_stack.ss_size) == 32);

namespace qport_run::preload {

namespace {

// ---------------------------------------------------------------- the trap's own stack
constexpr std::size_t trap_stack_bytes = std::size_t{64} * 1024;
constexpr std::size_t guard_bytes = 4096;
// The lowest byte of this thread's trap stack, with a guard page below.
constinit thread_local char *trap_stack __attribute__((tls_model("initial-exec"))) = nullptr;

bool have_trap_stack()
{
    if (trap_stack != nullptr)
        return true;
    void *memory = ::mmap(nullptr, guard_bytes + trap_stack_bytes, PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED)
        return false;
    char *const lowest = static_cast<char *>(memory) + guard_bytes;
    if (::mprotect(lowest, trap_stack_bytes, PROT_READ | PROT_WRITE) != 0) {
        ::munmap(memory, guard_bytes + trap_stack_bytes);
        return false;
    }
    trap_stack = lowest;
    return true;
}

} // namespace

void release_trap_stack()
{
    if (trap_stack != nullptr)
        ::munmap(trap_stack - guard_bytes, guard_bytes + trap_stack_bytes);
    trap_stack = nullptr;
}

namespace {

qport_run::Registers registers_of(const ucontext_t &context)
{
    const auto &gregs = context.uc_mcontext.gregs;
    qport_run::Registers registers;
    registers.rax = static_cast<std::uint64_t>(gregs[REG_RAX]);
    registers.rcx = static_cast<std::uint64_t>(gregs[REG_RCX]);
    registers.rdx = static_cast<std::uint64_t>(gregs[REG_RDX]);
    registers.rsi = static_cast<std::uint64_t>(gregs[REG_RSI]);
    registers.rdi = static_cast<std::uint64_t>(gregs[REG_RDI]);
    registers.rip = static_cast<std::uint64_t>(gregs[REG_RIP]);
    registers.rflags = static_cast<std::uint64_t>(gregs[REG_EFL]);
    return registers;
}

void store_registers(const qport_run::Registers &registers, ucontext_t &context)
{
    auto &gregs = context.uc_mcontext.gregs;
    gregs[REG_RAX] = static_cast<greg_t>(registers.rax);
    gregs[REG_RCX] = static_cast<greg_t>(registers.rcx);
    gregs[REG_RSI] = static_cast<greg_t>(registers.rsi);
    gregs[REG_RDI] = static_cast<greg_t>(registers.rdi);
    gregs[REG_RIP] = static_cast<greg_t>(registers.rip);
}

std::uint64_t segment_base(int which)
{
    unsigned long base = 0;
    ::syscall(SYS_arch_prctl, which, &base);
    return base;
}

std::uint16_t data_segment_selector()
{
    std::uint16_t selector = 0;
    asm("mov %%ds, %0" : "=r"(selector));
    return selector;
}

std::uint16_t extra_segment_selector()
{
    std::uint16_t selector = 0;
    asm("mov %%es, %0" : "=r"(selector));
    return selector;
}

std::atomic<bool> told_kernel_refused{false};

// A port instruction that qport's library executed itself and the kernel
// refused (the thread's permission is gone): answered as a refused transfer.
void answer_refused_in_qport(const PortInstruction &instruction, ucontext_t &context)
{
    if (!told_kernel_refused.exchange(true))
        say("qport-run: the kernel refused qport a port transfer in this thread; "
            "reads give all ones and writes are dropped\n");
    auto &gregs = context.uc_mcontext.gregs;
    auto rax = static_cast<std::uint64_t>(gregs[REG_RAX]);
    if (instruction.direction == Direction::in && !instruction.string) {
        rax = instruction.width_bytes == 4 ? 0xFFFFFFFFU
                                           : rax | ((1U << (8 * instruction.width_bytes)) - 1);
        gregs[REG_RAX] = static_cast<greg_t>(rax);
    }
    gregs[REG_RIP] += instruction.length;
}

// A SIGSEGV while the trap has SIGSEGV open: a direct access to the
// program's memory that faulted, a port instruction of qport's that the
// kernel refused, or one sent by a process; anything else is a fault of
// the trap's own or qport's, fatal as it would be.
void answer_while_open(siginfo_t *info, ucontext_t *context)
{
    auto &gregs = context->uc_mcontext.gregs;
    const auto rip = static_cast<std::uintptr_t>(gregs[REG_RIP]);
    if (!sent_by_a_process(info) &&
        rip >= reinterpret_cast<std::uintptr_t>(qport_run_probe_begin) &&
        rip < reinterpret_cast<std::uintptr_t>(qport_run_probe_end)) {
        probe_fault = {*info, gregs[REG_TRAPNO], gregs[REG_ERR], gregs[REG_CR2]};
        probe_faulted = true;
        gregs[REG_RIP] = reinterpret_cast<greg_t>(qport_run_probe_recover);
        return;
    }
    if (sent_by_a_process(info)) {
        sent_segv = *info;
        segv_was_sent = true;
        return;
    }
    if (calling_qport && info->si_code == SI_KERNEL) {
        if (const auto instruction = qport_run::decode(in_program<const std::uint8_t>(rip))) {
            answer_refused_in_qport(*instruction, *context);
            return;
        }
    }
    take_default_action(info);
}

std::atomic<bool> told_interrupt_flag{false};

// CLI and STI at I/O privilege level 3: Linux (since 5.15) makes them no-ops
// and says so once.
bool skip_interrupt_flag_instruction(std::uint8_t opcode, ucontext_t &context)
{
    if ((opcode != 0xFA && opcode != 0xFB) || thread_grant.level() != 3)
        return false;
    if (!told_interrupt_flag.exchange(true)) {
        say("qport-run: ");
        say(program_invocation_short_name);
        say(" uses CLI/STI at I/O privilege level 3; taken as no-ops, as Linux does\n");
    }
    context.uc_mcontext.gregs[REG_RIP] += 1;
    return true;
}

// A string form in 32-bit code reaches memory through DS (or its override)
// and ES, whose bases only the flat data segment is known to have.
bool flat_data_segments(const PortInstruction &instruction)
{
    if (instruction.mode != qport_run::CodeMode::compat32 || !instruction.string)
        return true;
    if (instruction.direction == Direction::in)
        return extra_segment_selector() == qport_run::data_segment;
    return instruction.segment != qport_run::Segment::flat ||
           data_segment_selector() == qport_run::data_segment;
}

struct TrapJob {
    siginfo_t *info;
    ucontext_t *context;
    bool hand_to_program;
    // A rewritten site's port instruction, as it was before the rewrite.
    const std::uint8_t *original;
    // A rewrite wrote code while the trap decoded: look again.
    bool decode_again;
    // The code's generation before the trap looked for a rewritten site:
    // a rewrite that starts after that look changes it.
    std::uint32_t code_generation;
};

// The trap's work, on its own stack: the instruction, whether the program
// may execute it, and the transfer.
void examine(void *raw_job)
{
    TrapJob &job = *static_cast<TrapJob *>(raw_job);
    ucontext_t &context = *job.context;
    auto &gregs = context.uc_mcontext.gregs;
    job.hand_to_program = true;
    // Port instructions without permission fault with a general protection
    // fault, which the kernel reports as SI_KERNEL.
    if (job.info->si_code != SI_KERNEL)
        return;
    const std::optional<qport_run::CodeMode> mode =
        qport_run::code_mode_of(static_cast<std::uint16_t>(gregs[REG_CSGSFS] & 0xFFFF));
    if (!mode)
        return;
    const auto site = static_cast<std::uint64_t>(gregs[REG_RIP]);
    const auto *code =
        job.original != nullptr ? job.original : in_program<const std::uint8_t>(site);
    if (skip_interrupt_flag_instruction(code[0], context)) {
        job.hand_to_program = false;
        return;
    }
    const std::optional<PortInstruction> instruction = qport_run::decode(code, *mode);
    if (!qport_run::SiteRewriter::code_unchanged_since(job.code_generation)) {
        job.decode_again = true;
        return;
    }
    if (!instruction)
        return;
    qport_run::Registers registers = registers_of(context);
    const std::uint16_t port = qport_run::port_of(*instruction, registers);
    // Outside the grant: the general-protection fault as the kernel gave it.
    if (!thread_grant.allows(port, instruction->width_bytes) || !flat_data_segments(*instruction))
        return;
    job.hand_to_program = false;

    if (instruction->segment == qport_run::Segment::fs)
        registers.fs_base = segment_base(ARCH_GET_FS);
    else if (instruction->segment == qport_run::Segment::gs)
        registers.gs_base = segment_base(ARCH_GET_GS);
    trap_on_alternate_stack =
        context.uc_stack.ss_flags != SS_DISABLE &&
        reinterpret_cast<char *>(job.info) >= static_cast<char *>(context.uc_stack.ss_sp) &&
        reinterpret_cast<char *>(job.info) <
            static_cast<char *>(context.uc_stack.ss_sp) + context.uc_stack.ss_size;
    QportPorts ports;
    ProcessMemory memory;
    qport_run::Execution execution;
    {
        const Transfer transfer(port, instruction->width_bytes);
        execution = qport_run::execute(*instruction, registers, ports, memory);
    }
    store_registers(registers, context);
    if (execution.memory_fault) {
        report_memory_fault(*job.info, context);
        job.hand_to_program = true;
    } else {
        qport_run::SiteRewriter::trapped(site, code, *instruction);
    }
}

constexpr char no_trap_stack[] = "qport-run: no memory for the trap's stack\n";

// Threads made with a bare clone() and no TLS of their own share the TLS
// of the thread that made them, and with it the trap's stack and state.
// Once a trap finds itself in another thread's TLS, traps take turns, one
// at a time in the whole process (a nested trap of the thread whose turn
// it is goes on).
constinit thread_local pid_t trap_thread __attribute__((tls_model("initial-exec"))) = 0;
std::atomic<bool> shared_tls_seen{false};
std::atomic<int> traps_without_turns{0};
std::atomic<pid_t> turn_holder{0};

class TrapsOneAtATime {
public:
    TrapsOneAtATime()
    {
        // A SIGSEGV inside the trap, answered where it lands: its trap has
        // its turn already.
        if (segv_open_depth > 0)
            return;
        const auto self = static_cast<pid_t>(::syscall(SYS_gettid));
        pid_t expected = 0;
        if (!__atomic_compare_exchange_n(&trap_thread, &expected, self, false, __ATOMIC_SEQ_CST,
                                         __ATOMIC_SEQ_CST) &&
            expected != self)
            shared_tls_seen.store(true);
        if (!shared_tls_seen.load()) {
            traps_without_turns.fetch_add(1);
            if (!shared_tls_seen.load()) {
                without_turn_ = true;
                return;
            }
            traps_without_turns.fetch_sub(1);
        }
        if (turn_holder.load() == self)
            return;
        pid_t free = 0;
        while (!turn_holder.compare_exchange_weak(free, self)) {
            free = 0;
            __builtin_ia32_pause();
        }
        while (traps_without_turns.load() != 0)
            __builtin_ia32_pause();
        holds_turn_ = true;
    }
    ~TrapsOneAtATime()
    {
        if (without_turn_)
            traps_without_turns.fetch_sub(1);
        if (holds_turn_)
            turn_holder.store(0);
    }
    TrapsOneAtATime(const TrapsOneAtATime &) = delete;
    TrapsOneAtATime &operator=(const TrapsOneAtATime &) = delete;

private:
    bool without_turn_ = false;
    bool holds_turn_ = false;
};

// What a rewritten site's trampoline calls: the transfer the trap would
// make, through the same entry points, under the same grant. A port the
// thread may not use is refused without a transfer; the trampoline then
// executes the instruction itself, which faults into the trap.
qport_run::HotTransfer hot_transfer(const PortInstruction *instruction, std::uint64_t rax,
                                    std::uint64_t rdx)
{
    qport_run::Registers registers;
    registers.rax = rax;
    registers.rdx = rdx;
    if (!thread_grant.allows(qport_run::port_of(*instruction, registers), instruction->width_bytes))
        return {rax, 1};
    const int saved_errno = errno;
    QportPorts ports;
    ProcessMemory memory;
    qport_run::execute(*instruction, registers, ports, memory);
    errno = saved_errno;
    return {registers.rax, 0};
}

bool site_summary_wanted = false;
const char *rewriting_off_because = nullptr;

__attribute__((destructor)) void say_site_summary()
{
    if (!site_summary_wanted)
        return;
    if (rewriting_off_because == nullptr) {
        qport_run::SiteRewriter::write_summary(program_invocation_short_name);
        return;
    }
    say("qport-run: ");
    say(program_invocation_short_name);
    say(": no port instruction site rewritten: ");
    say(rewriting_off_because);
    say("\n");
}

} // namespace

// Hot sites are rewritten unless qport-run --no-patch (QPORT_RUN_NO_PATCH)
// says not to, and only on the simulated build: the hardware build holds
// the kernel's permission during each transfer, which the trap makes with
// every signal blocked; a trampoline runs with the program's signals open,
// so a signal handler could use ports it was never granted.
void start_rewriting_sites()
{
    const char *summary = ::secure_getenv("QPORT_RUN_SITE_SUMMARY");
    site_summary_wanted = summary != nullptr && std::strcmp(summary, "1") == 0;
    const char *no_patch = ::secure_getenv("QPORT_RUN_NO_PATCH");
    if (no_patch != nullptr && *no_patch != '\0' && std::strcmp(no_patch, "0") != 0)
        rewriting_off_because = "rewriting is off (--no-patch, QPORT_RUN_NO_PATCH)";
    else if (qport.hardware)
        rewriting_off_because = "the hardware build keeps every port instruction trapped";
    else if (!qport_run::SiteRewriter::start(hot_transfer))
        rewriting_off_because = "the processor or kernel lacks xsave or membarrier(SYNC_CORE)";
}

void forked_child_of_own_thread()
{
    trap_thread = 0;
    qport_run::SiteRewriter::forked_child();
}

} // namespace qport_run::preload

using namespace qport_run::preload;

// Called by qport_run_trap_entry once it has checked the room on the stack.
extern "C" void qport_run_trap(int /*signal*/, siginfo_t *info, void *raw_context)
{
    const int saved_errno = errno;
    auto *context = static_cast<ucontext_t *>(raw_context);
    const TrapsOneAtATime serialised;
    if (segv_open_depth > 0) {
        answer_while_open(info, context);
    } else {
        TrapJob job{info, context, false, nullptr, true, 0};
        while (job.decode_again) {
            const std::uint32_t generation = qport_run::SiteRewriter::code_generation();
            job = {info, context, false, nullptr, false, generation};
            if (!sent_by_a_process(info) && qport_run::SiteRewriter::started()) {
                auto rip = static_cast<std::uint64_t>(context->uc_mcontext.gregs[REG_RIP]);
                const qport_run::Reroute reroute =
                    qport_run::SiteRewriter::reroute(rip, info->si_code == SI_KERNEL);
                context->uc_mcontext.gregs[REG_RIP] = static_cast<greg_t>(rip);
                job.original = reroute.original;
                if (reroute.action == qport_run::Reroute::Action::resume) {
                    errno = saved_errno;
                    return;
                }
                if (reroute.action == qport_run::Reroute::Action::to_program) {
                    hand_to_program(info, context);
                    errno = saved_errno;
                    return;
                }
            }
            if (!have_trap_stack())
                qport_run_die_of_segv(no_trap_stack, sizeof no_trap_stack - 1);
            qport_run_call_on_stack(&job, examine, trap_stack + trap_stack_bytes);
        }
        if (job.hand_to_program)
            hand_to_program(info, context);
    }
    errno = saved_errno;
}
