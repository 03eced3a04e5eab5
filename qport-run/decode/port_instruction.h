// SPDX-License-Identifier: LGPL-2.1-or-later
// The x86 port instructions as the trap handler sees them: decoding the
// bytes at the faulting instruction, and carrying the instruction out on a
// copy of the registers through a port space and a memory of the caller's
// choosing (the preload's are qport's entry points and the process's own
// memory; the tests' are tables).
#ifndef QPORT_RUN_PORT_INSTRUCTION_H
#define QPORT_RUN_PORT_INSTRUCTION_H

#include <cstddef>
#include <cstdint>
#include <optional>

namespace qport_run {

enum class Direction : std::uint8_t { in, out };

// The kind of code segment the instruction runs in: 64-bit code, or 32-bit
// code in a 64-bit process (compatibility mode, the user code segment 0x23).
enum class CodeMode : std::uint8_t { long64, compat32 };

// The user code segments of Linux on x86-64.
constexpr std::uint16_t code_segment_64 = 0x33;
constexpr std::uint16_t code_segment_32 = 0x23;
// The flat data segment, which 32-bit code needs in DS and ES.
constexpr std::uint16_t data_segment = 0x2b;

// The mode of the code segment selector, or nothing for a segment this
// decoder does not know (one of the process's own, from its LDT: its base
// and size are not known here).
std::optional<CodeMode> code_mode_of(std::uint16_t code_segment);

// Which segment base an outs reads its source through. The others are flat
// on Linux (base 0); FS and GS have bases of their own.
enum class Segment : std::uint8_t { flat, fs, gs };

// The width of the string forms' addresses and count: RSI/RDI/RCX,
// ESI/EDI/ECX or SI/DI/CX.
enum class AddressSize : std::uint8_t { bits16, bits32, bits64 };

struct PortInstruction {
    Direction direction = Direction::in;
    unsigned width_bytes = 1;    // 1, 2 or 4
    bool immediate_port = false; // E4..E7: the port is the byte after the opcode
    std::uint8_t port_byte = 0;  // that byte
    bool string = false;         // ins/outs
    bool repeat = false;         // F3 or F2 on a string form: the count register times
    CodeMode mode = CodeMode::long64;
    AddressSize address_size = AddressSize::bits64;
    Segment segment = Segment::flat;
    unsigned length = 0; // bytes, prefixes included

    bool operator==(const PortInstruction &) const = default;
};

// The longest instruction the processor accepts.
constexpr std::size_t longest_instruction = 15;

// Decodes the instruction at code, or gives nothing if it is not a port
// instruction. Reads only the bytes that belong to the instruction itself
// (its prefixes, its opcode and, for the immediate forms, the port byte),
// never more than longest_instruction, so that it never touches memory the
// processor did not fetch. A LOCK prefix makes a port instruction undefined,
// so it is no port instruction here either.
//
// In 64-bit code a REX prefix counts only right before the opcode (a legacy
// prefix after it cancels it), and REX.W wins over 66: a port instruction
// has no 64-bit form, so it is 32 bits then. In 32-bit code 40..4F are
// INC and DEC, and 67 selects 16-bit addresses.
std::optional<PortInstruction> decode(const std::uint8_t *code, CodeMode mode = CodeMode::long64);

// The registers a port instruction reads or changes.
struct Registers {
    std::uint64_t rax = 0, rcx = 0, rdx = 0, rsi = 0, rdi = 0, rip = 0;
    std::uint64_t rflags = 0;
    std::uint64_t fs_base = 0, gs_base = 0;
};

// Where transfers go. Reads give the value zero-extended to 32 bits.
class PortSpace {
public:
    virtual std::uint32_t read(std::uint16_t port, unsigned width_bytes) = 0;
    virtual void write(std::uint16_t port, unsigned width_bytes, std::uint32_t value) = 0;

protected:
    ~PortSpace() = default;
};

// Why the program's memory could not be reached, as the processor's page
// fault tells it: no mapping there, or a mapping that forbids the access.
enum class FaultKind : std::uint8_t { unmapped, protection };

struct MemoryFault {
    std::uint64_t address = 0; // the first byte that cannot be reached
    FaultKind kind = FaultKind::unmapped;
    bool operator==(const MemoryFault &) const = default;
};

struct Copied {
    std::size_t bytes = 0; // from the start; fewer than asked means fault is set
    MemoryFault fault{};
};

// The program's memory for the string forms: size bytes at address, in
// elements of width bytes (an implementation that reaches memory directly
// makes each access at that width, as the processor does). Each call copies
// as much as it can from the start and, when it stops short, says where
// and why. A write never leaves part of an element written.
class Memory {
public:
    virtual Copied read(std::uint64_t address, void *out, std::size_t size, unsigned width) = 0;
    virtual Copied write(std::uint64_t address, const void *in, std::size_t size,
                         unsigned width) = 0;

protected:
    ~Memory() = default;
};

struct Execution {
    // The instruction is complete and RIP is past it. When not, RIP still
    // points at it: either a repeated form stopped after a batch (it runs on
    // when the processor executes it again, as an interrupted rep does) or
    // memory_fault is set.
    bool complete = false;
    // The string form reached memory it may not use, after the elements
    // before it were transferred and the registers say so, as the processor
    // leaves them when it faults there. An ins has read the port for the
    // element it could not store; that value is lost, as the processor may
    // lose it.
    std::optional<MemoryFault> memory_fault;
};

// Elements one execution of a repeated string form transfers at most, so
// that a huge count cannot hold signals off for long.
constexpr std::uint64_t elements_per_execution = 4096;

// The processor's smallest page: a string form's access rights are the same
// throughout one.
constexpr std::uint64_t page_size = 4096;

// Carries out the instruction on registers as the processor would, with
// its transfers going to ports and its string operands to memory.
Execution execute(const PortInstruction &instruction, Registers &registers, PortSpace &ports,
                  Memory &memory);

// The port an instruction transfers at, given the registers.
std::uint16_t port_of(const PortInstruction &instruction, const Registers &registers);

} // namespace qport_run

#endif
