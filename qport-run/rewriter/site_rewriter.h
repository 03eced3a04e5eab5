// SPDX-License-Identifier: LGPL-2.1-or-later
// Hot port instruction sites rewritten into jumps to trampolines, so that
// a port instruction a program executes often reaches qport without a
// fault.
//
// A port instruction is 1 to 3 bytes, shorter than the 5-byte jmp rel32
// that replaces it, so the instructions after it up to the jump's end are
// evicted: copied into the trampoline, which makes the transfer, runs them
// and jumps back. A jump from elsewhere into an evicted instruction must
// still work: the trampoline's address is chosen so that each byte of the
// jump's displacement that falls on an evicted instruction's first byte is
// a one-byte port instruction (EC..EF), which faults into the trap; the
// trap sends the thread on to that instruction's copy.
//
// Only 64-bit code in file-backed mappings that are not writable is
// rewritten, only non-string forms, only when every evicted instruction is
// one this file knows how to move; everything else stays on the trap.
#ifndef QPORT_RUN_SITE_REWRITER_H
#define QPORT_RUN_SITE_REWRITER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "port_instruction.h"

namespace qport_run {

// ---------------------------------------------------------------- instructions that move
// An instruction that can be executed elsewhere, after relocation.
struct MovableInstruction {
    enum class Kind : std::uint8_t {
        plain,            // runs anywhere as it is
        rip_relative,     // its disp32 at displacement_at is relative to its end
        jump,             // jmp rel8/rel32 to target
        conditional_jump, // jcc rel8/rel32 (condition) to target
        ends_flow,        // ret, jmp through a register: nothing falls through
    };
    Kind kind = Kind::plain;
    std::uint8_t length = 0;
    std::uint8_t condition = 0;       // the low nibble of a jcc
    std::uint8_t displacement_at = 0; // rip_relative: where its disp32 is
    std::int64_t relative = 0;        // jumps: target minus the instruction's end
};

// The length and kind of the instruction at code, if it is one of the
// common integer instructions this rewriter moves (moves, arithmetic,
// logic, compares, push/pop, nop, jumps with relative targets, ret);
// nothing for anything else. Reads at most longest_instruction bytes.
std::optional<MovableInstruction> decode_movable(const std::uint8_t *code);

// ---------------------------------------------------------------- the plan for one site
constexpr unsigned jump_length = 5;
constexpr unsigned most_evicted = 4;

// Why a site is not rewritten; counted for the summary.
enum class StaysTrapped : std::uint8_t {
    form,              // a string form, prefixes other than 66, 32-bit code
    neighbour,         // an instruction after it this rewriter does not move
    page_boundary,     // the site and its evicted instructions cross a page
    mapping,           // not in a file-backed mapping without write permission
    no_trampoline,     // no free address the displacement's bytes allow
    code_not_writable, // /proc/self/mem refused the write
    traced,            // a debugger is attached
    full,              // the table of sites is full
    count_of_reasons,
};

const char *describe(StaysTrapped reason);

struct SitePlan {
    std::uint64_t site = 0;
    PortInstruction instruction{};
    std::array<std::uint8_t, longest_instruction + jump_length> original{}; // bytes from site
    unsigned covered = 0; // the site and its evicted instructions, in bytes
    unsigned evicted_count = 0;
    std::array<MovableInstruction, most_evicted> evicted{};
    std::array<std::uint8_t, most_evicted> evicted_at{}; // offsets from the site
};

// Plans the rewrite of the port instruction at site, whose bytes from
// there (available of them, at least jump_length + longest_instruction
// unless the mapping ends sooner) are given.
struct Planned {
    std::optional<SitePlan> plan;
    StaysTrapped reason = StaysTrapped::form;
};
Planned plan_site(std::uint64_t site, const std::uint8_t *code, std::size_t available);

// Whether a jump from the site to target keeps the site safe: every byte
// of the displacement on an evicted instruction's first byte is EC..EF,
// and a byte inside an operand-size-prefixed site keeps it a port
// instruction while it is written.
bool target_allowed(const SitePlan &plan, std::uint64_t target);

// ---------------------------------------------------------------- trampolines
// Where the pieces of a trampoline are, as offsets from its start.
struct TrampolineLayout {
    std::size_t length = 0;
    std::array<std::uint16_t, most_evicted> evicted_copy_at{};
    std::uint16_t refused_copy_at = 0; // the copy of the port instruction
};

constexpr std::size_t longest_trampoline = 1024;

// The vector registers a trampoline saves around its call: those the
// processor has (and the kernel enabled).
enum class VectorRegisters : std::uint8_t { sse, avx, avx512 };
std::optional<VectorRegisters> vector_registers_of_this_processor();

// Writes the trampoline for plan, to be placed at address, into out
// (longest_trampoline bytes): its save piece calls entry with record.
// Nothing if a relocated displacement does not fit.
std::optional<TrampolineLayout> build_trampoline(const SitePlan &plan, std::uint64_t address,
                                                 std::uint64_t record, std::uint64_t entry,
                                                 VectorRegisters registers, std::uint8_t *out);

// ---------------------------------------------------------------- the running process
// What the trap does with a fault at an address the rewriter knows.
struct Reroute {
    enum class Action : std::uint8_t {
        none,            // not the rewriter's: the trap goes on as always
        resume,          // RIP now at an evicted instruction's copy
        to_program,      // an evicted instruction's copy faulted: RIP mapped back
        decode_original, // the site's port instruction: decode original instead
    };
    Action action = Action::none;
    const std::uint8_t *original = nullptr;
};

// The transfer a trampoline asks for: the new RAX, and whether the thread
// may not use the port (then nothing was transferred).
struct HotTransfer {
    std::uint64_t rax;
    std::uint64_t refused;
};
using HotEntry = HotTransfer (*)(const PortInstruction *, std::uint64_t rax, std::uint64_t rdx);

class SiteRewriter {
public:
    // Traps a site takes before it is rewritten.
    static constexpr std::uint32_t hot_after = 64;

    // Sets the rewriter up; false (with the reason said by the caller) when
    // the kernel lacks what it needs.
    static bool start(HotEntry entry);
    static bool started();
    // Where the trap stands with the faulting RIP (it may change RIP).
    // Only for faults the kernel reports (not sent by a process).
    static Reroute reroute(std::uint64_t &rip, bool general_protection);
    // The trap made the transfer of the port instruction at site, whose
    // bytes are code: counted, and rewritten once hot.
    static void trapped(std::uint64_t site, const std::uint8_t *code,
                        const PortInstruction &instruction);
    // The trap reads a site's bytes only while no rewrite writes code: it
    // takes the count of rewrites before, with none under way, and checks
    // after decoding that it has not changed (else it decodes again).
    static std::uint32_t code_generation();
    static bool code_unchanged_since(std::uint32_t generation);
    // In a child forked while another thread rewrote: that thread is not
    // there to finish, and the bytes it wrote are safe as they stand.
    static void forked_child();
    // One line a reason to standard error: sites rewritten and trapped.
    static void write_summary(const char *program);
};

} // namespace qport_run

#endif
