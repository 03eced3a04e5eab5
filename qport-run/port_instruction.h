// SPDX-License-Identifier: LGPL-2.1-or-later
// The x86-64 port instructions as the trap handler sees them: decoding the
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

// Which segment base an outs reads its source through. In 64-bit mode only
// FS and GS have a base; the other overrides are accepted and change nothing.
enum class Segment : std::uint8_t { flat, fs, gs };

struct PortInstruction {
    Direction direction = Direction::in;
    unsigned width_bytes = 1;    // 1, 2 or 4
    bool immediate_port = false; // E4..E7: the port is the byte after the opcode
    std::uint8_t port_byte = 0;  // that byte
    bool string = false;         // ins/outs
    bool repeat = false;         // F3 or F2 on a string form: RCX times
    bool address_32 = false;     // 67: ESI/EDI/ECX instead of RSI/RDI/RCX
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
std::optional<PortInstruction> decode(const std::uint8_t *code);

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

// The program's memory for the string forms. Each call copies as much of
// [address, address + size) as it can and returns how many bytes from the
// start it copied; fewer than size means the next byte cannot be reached.
// writable() copies nothing and tells how many bytes from address may be
// written.
class Memory {
public:
    virtual std::size_t read(std::uint64_t address, void *out, std::size_t size) = 0;
    virtual std::size_t write(std::uint64_t address, const void *in, std::size_t size) = 0;
    virtual std::size_t writable(std::uint64_t address, std::size_t size) = 0;

protected:
    ~Memory() = default;
};

struct Execution {
    // The instruction is complete and RIP is past it. When not, RIP still
    // points at it: either a repeated form stopped after a batch (it runs on
    // when the processor executes it again, as an interrupted rep does) or
    // memory_fault is set.
    bool complete = false;
    // The string form reached memory it may not use at fault_address, after
    // the elements before it were transferred and the registers say so, as
    // the processor leaves them when it faults there.
    bool memory_fault = false;
    std::uint64_t fault_address = 0;
};

// Elements one execution of a repeated string form transfers at most, so
// that a huge RCX cannot hold signals off for long.
constexpr std::uint64_t elements_per_execution = 4096;

// Carries out the instruction on registers as the processor would, with
// its transfers going to ports and its string operands to memory.
Execution execute(const PortInstruction &instruction, Registers &registers, PortSpace &ports,
                  Memory &memory);

} // namespace qport_run

#endif
