// SPDX-License-Identifier: LGPL-2.1-or-later
// The decoder on the encodings a program can hold, and the executor on
// registers, a recording port space and a memory with an edge.
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "port_instruction.h"

namespace {

using qport_run::AddressSize;
using qport_run::CodeMode;
using qport_run::Direction;
using qport_run::FaultKind;
using qport_run::MemoryFault;
using qport_run::PortInstruction;
using qport_run::Segment;

struct DecodeCase {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::optional<PortInstruction> expected;
    CodeMode mode = CodeMode::long64;
};

// Each instruction at its mode's own address size unless a case says
// otherwise.
PortInstruction port(Direction direction, unsigned width, unsigned length,
                     CodeMode mode = CodeMode::long64)
{
    PortInstruction instruction;
    instruction.direction = direction;
    instruction.width_bytes = width;
    instruction.length = length;
    instruction.mode = mode;
    instruction.address_size = mode == CodeMode::long64 ? AddressSize::bits64 : AddressSize::bits32;
    return instruction;
}

PortInstruction immediate(Direction direction, unsigned width, unsigned length, std::uint8_t at)
{
    PortInstruction instruction = port(direction, width, length);
    instruction.immediate_port = true;
    instruction.port_byte = at;
    return instruction;
}

PortInstruction string(Direction direction, unsigned width, unsigned length, bool repeat,
                       Segment segment = Segment::flat)
{
    PortInstruction instruction = port(direction, width, length);
    instruction.string = true;
    instruction.repeat = repeat;
    instruction.segment = segment;
    return instruction;
}

PortInstruction with_addresses(PortInstruction instruction, AddressSize size)
{
    instruction.address_size = size;
    return instruction;
}

PortInstruction in_32_bit_code(PortInstruction instruction)
{
    instruction.mode = CodeMode::compat32;
    instruction.address_size =
        instruction.address_size == AddressSize::bits64 ? AddressSize::bits32 : AddressSize::bits16;
    return instruction;
}

std::vector<std::uint8_t> repeated(std::uint8_t byte, std::size_t count, std::uint8_t last)
{
    std::vector<std::uint8_t> bytes(count, byte);
    bytes.push_back(last);
    return bytes;
}

TEST(Decode, RecognisesEveryPortInstructionFormAndNothingElse)
{
    constexpr auto in = Direction::in;
    constexpr auto out = Direction::out;
    const std::vector<DecodeCase> cases = {
        {"in al, dx", {0xEC}, port(in, 1, 1)},
        {"in eax, dx", {0xED}, port(in, 4, 1)},
        {"in ax, dx", {0x66, 0xED}, port(in, 2, 2)},
        {"REX.W changes nothing", {0x48, 0xED}, port(in, 4, 2)},
        {"REX.W wins over 66", {0x66, 0x48, 0xED}, port(in, 4, 3)},
        {"a legacy prefix after REX cancels it", {0x48, 0x66, 0xED}, port(in, 2, 3)},
        {"only the REX right before the opcode counts", {0x66, 0x48, 0x40, 0xED}, port(in, 2, 4)},
        {"REX.W on a string form", {0x66, 0x48, 0x6D}, string(in, 4, 3, false)},
        {"in al, imm8", {0xE4, 0x80}, immediate(in, 1, 2, 0x80)},
        {"in ax, imm8", {0x66, 0xE5, 0x71}, immediate(in, 2, 3, 0x71)},
        {"in eax, imm8", {0xE5, 0xFF}, immediate(in, 4, 2, 0xFF)},
        {"out imm8, al", {0xE6, 0x80}, immediate(out, 1, 2, 0x80)},
        {"out imm8, eax", {0xE7, 0x40}, immediate(out, 4, 2, 0x40)},
        {"out dx, al", {0xEE}, port(out, 1, 1)},
        {"out dx, ax", {0x66, 0xEF}, port(out, 2, 2)},
        {"out dx, eax", {0xEF}, port(out, 4, 1)},
        {"rep on a plain in is ignored", {0xF3, 0xEC}, port(in, 1, 2)},
        {"insb", {0x6C}, string(in, 1, 1, false)},
        {"rep insb", {0xF3, 0x6C}, string(in, 1, 2, true)},
        {"rep insd, 32-bit addresses",
         {0x67, 0xF3, 0x6D},
         with_addresses(string(in, 4, 3, true), AddressSize::bits32)},
        {"rep outsw", {0xF3, 0x66, 0x6F}, string(out, 2, 3, true)},
        {"repne acts as rep", {0xF2, 0x6E}, string(out, 1, 2, true)},
        {"outsb through fs", {0x64, 0xF3, 0x6E}, string(out, 1, 3, true, Segment::fs)},
        {"outsb through gs", {0x65, 0x6E}, string(out, 1, 2, false, Segment::gs)},
        {"cs override has no base", {0x2E, 0x6E}, string(out, 1, 2, false)},
        {"lock makes it undefined", {0xF0, 0xEC}, std::nullopt},
        {"nop", {0x90}, std::nullopt},
        {"ud2", {0x0F, 0x0B}, std::nullopt},
        {"mov", {0x89, 0xC0}, std::nullopt},
        {"hlt", {0xF4}, std::nullopt},
        {"longer than 15 bytes", repeated(0x66, 15, 0xED), std::nullopt},
        {"15 bytes exactly", repeated(0x66, 14, 0xED), port(in, 2, 15)},
        {"immediate past 15 bytes", repeated(0x66, 14, 0xE4), std::nullopt},
        {"32-bit code: in eax, dx", {0xED}, in_32_bit_code(port(in, 4, 1)), CodeMode::compat32},
        {"32-bit code: 66 makes 16 bits",
         {0x66, 0xEF},
         in_32_bit_code(port(out, 2, 2)),
         CodeMode::compat32},
        {"32-bit code: 48 is DEC, not REX", {0x48, 0xED}, std::nullopt, CodeMode::compat32},
        {"32-bit code: rep insb counts ECX",
         {0xF3, 0x6C},
         in_32_bit_code(string(in, 1, 2, true)),
         CodeMode::compat32},
        {"32-bit code: 67 selects 16-bit addresses",
         {0x67, 0xF3, 0x6E},
         in_32_bit_code(with_addresses(string(out, 1, 3, true), AddressSize::bits32)),
         CodeMode::compat32},
    };
    for (const DecodeCase &test : cases) {
        SCOPED_TRACE(test.name);
        std::vector<std::uint8_t> code = test.bytes;
        code.resize(qport_run::longest_instruction + 1, 0xCC);
        const std::optional<PortInstruction> got = qport_run::decode(code.data(), test.mode);
        EXPECT_EQ(got, test.expected);
    }
}

TEST(Decode, KnowsLinuxsTwoUserCodeSegmentsOnly)
{
    EXPECT_EQ(qport_run::code_mode_of(0x33), CodeMode::long64);
    EXPECT_EQ(qport_run::code_mode_of(0x23), CodeMode::compat32);
    // A segment of the process's own LDT, and a data segment.
    EXPECT_EQ(qport_run::code_mode_of(0x07), std::nullopt);
    EXPECT_EQ(qport_run::code_mode_of(0x2b), std::nullopt);
}

// ---------------------------------------------------------------- execution
struct Transfer {
    char direction;
    unsigned width;
    std::uint16_t port;
    std::uint32_t value;
    bool operator==(const Transfer &) const = default;
};

// Reads give 0xA0 + the number of the read, so their order shows.
class RecordingPorts final : public qport_run::PortSpace {
public:
    std::uint32_t read(std::uint16_t port, unsigned width_bytes) override
    {
        const std::uint32_t value = 0xA0 + static_cast<std::uint32_t>(transfers.size());
        transfers.push_back({'i', width_bytes * 8, port, value});
        return value;
    }
    void write(std::uint16_t port, unsigned width_bytes, std::uint32_t value) override
    {
        transfers.push_back({'o', width_bytes * 8, port, value});
    }
    std::vector<Transfer> transfers;
};

// Bytes at [base, base + size), of which the first writable_bytes may be
// written; everything else is unmapped. Like the processor, a write stores
// whole elements only.
class TestMemory final : public qport_run::Memory {
public:
    TestMemory(std::uint64_t base, std::vector<std::uint8_t> bytes, std::size_t writable_bytes)
        : base_(base), bytes_(std::move(bytes)), writable_(std::min(writable_bytes, bytes_.size()))
    {}
    qport_run::Copied read(std::uint64_t address, void *out, std::size_t size,
                           unsigned /*width*/) override
    {
        const std::size_t n = reachable(address, size, bytes_.size());
        std::memcpy(out, bytes_.data() + (address - base_), n);
        return {n, fault_at(address + n)};
    }
    qport_run::Copied write(std::uint64_t address, const void *in, std::size_t size,
                            unsigned width) override
    {
        const std::size_t n = reachable(address, size, writable_);
        const std::size_t whole = n / width * width;
        std::memcpy(bytes_.data() + (address - base_), in, whole);
        return {whole, fault_at(address + n)};
    }
    const std::vector<std::uint8_t> &bytes() const { return bytes_; }

private:
    std::size_t reachable(std::uint64_t address, std::size_t size, std::size_t limit) const
    {
        if (address < base_ || address >= base_ + limit)
            return 0;
        return std::min<std::size_t>(size, base_ + limit - address);
    }
    MemoryFault fault_at(std::uint64_t address) const
    {
        const bool mapped = address >= base_ && address < base_ + bytes_.size();
        return {address, mapped ? FaultKind::protection : FaultKind::unmapped};
    }
    std::uint64_t base_;
    std::vector<std::uint8_t> bytes_;
    std::size_t writable_;
};

constexpr std::uint64_t buffer_at = 0x10000;
constexpr std::uint64_t start_rip = 0x400000;
constexpr std::uint64_t direction_flag = 1U << 10;

struct ExecuteCase {
    std::string name;
    std::vector<std::uint8_t> code;
    qport_run::Registers before;
    std::vector<std::uint8_t> memory; // at buffer_at
    qport_run::Registers after;       // rip relative to start_rip
    std::vector<Transfer> transfers;
    std::vector<std::uint8_t> memory_after;
    bool complete = true;
    std::optional<MemoryFault> fault = std::nullopt;
    CodeMode mode = CodeMode::long64;
    std::size_t writable_bytes = ~std::size_t{0};
    qport_run::Registers segments{}; // their fs_base and gs_base
};

std::vector<std::uint8_t> with_bytes(std::vector<std::uint8_t> bytes, std::size_t at,
                                     const std::vector<std::uint8_t> &these)
{
    std::copy(these.begin(), these.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    return bytes;
}

qport_run::Registers fs_at(std::uint64_t base)
{
    qport_run::Registers registers;
    registers.fs_base = base;
    return registers;
}

qport_run::Registers regs(std::uint64_t rax, std::uint64_t rcx, std::uint64_t rdx,
                          std::uint64_t rsi, std::uint64_t rdi, std::uint64_t rip_offset,
                          std::uint64_t rflags = 0)
{
    qport_run::Registers registers;
    registers.rax = rax;
    registers.rcx = rcx;
    registers.rdx = rdx;
    registers.rsi = rsi;
    registers.rdi = rdi;
    registers.rip = start_rip + rip_offset;
    registers.rflags = rflags;
    return registers;
}

TEST(Execute, PutsResultsWhereTheProcessorWouldAndMovesOn)
{
    constexpr std::uint64_t high = 0x1122334455667788;
    constexpr std::uint64_t b = buffer_at;
    constexpr std::uint64_t many = qport_run::elements_per_execution + 5;
    constexpr std::size_t page = qport_run::page_size;
    const std::vector<ExecuteCase> cases = {
        {"in al keeps the upper bits",
         {0xE4, 0x80},
         regs(high, 0, 0, 0, 0, 0),
         {},
         regs(0x11223344556677A0, 0, 0, 0, 0, 2),
         {{'i', 8, 0x80, 0xA0}},
         {}},
        {"in ax keeps the upper bits",
         {0x66, 0xED},
         regs(high, 0, 0xFFFF0378, 0, 0, 0),
         {},
         regs(0x11223344556600A0, 0, 0xFFFF0378, 0, 0, 2),
         {{'i', 16, 0x378, 0xA0}},
         {}},
        {"in eax clears the upper half",
         {0xED},
         regs(high, 0, 0x379, 0, 0, 0),
         {},
         regs(0xA0, 0, 0x379, 0, 0, 1),
         {{'i', 32, 0x379, 0xA0}},
         {}},
        {"out dx, eax",
         {0xEF},
         regs(high, 0, 0xCF8, 0, 0, 0),
         {},
         regs(high, 0, 0xCF8, 0, 0, 1),
         {{'o', 32, 0xCF8, 0x55667788}},
         {}},
        {"out imm8, ax",
         {0x66, 0xE7, 0x70},
         regs(high, 0, 0, 0, 0, 0),
         {},
         regs(high, 0, 0, 0, 0, 3),
         {{'o', 16, 0x70, 0x7788}},
         {}},
        {"rep outsb",
         {0xF3, 0x6E},
         regs(0, 3, 0x378, b, 0, 0),
         {1, 2, 3},
         regs(0, 0, 0x378, b + 3, 0, 2),
         {{'o', 8, 0x378, 1}, {'o', 8, 0x378, 2}, {'o', 8, 0x378, 3}},
         {1, 2, 3}},
        {"outsw without rep leaves rcx",
         {0x66, 0x6F},
         regs(0, 9, 0x378, b, 0, 0),
         {0x34, 0x12},
         regs(0, 9, 0x378, b + 2, 0, 2),
         {{'o', 16, 0x378, 0x1234}},
         {0x34, 0x12}},
        {"rep insw stores little-endian",
         {0xF3, 0x66, 0x6D},
         regs(0, 2, 0x1F0, 0, b, 0),
         std::vector<std::uint8_t>(4),
         regs(0, 0, 0x1F0, 0, b + 4, 3),
         {{'i', 16, 0x1F0, 0xA0}, {'i', 16, 0x1F0, 0xA1}},
         {0xA0, 0, 0xA1, 0}},
        {"rep insb downwards",
         {0xF3, 0x6C},
         regs(0, 3, 0x378, 0, b + 2, 0, direction_flag),
         std::vector<std::uint8_t>(3),
         regs(0, 0, 0x378, 0, b - 1, 2, direction_flag),
         {{'i', 8, 0x378, 0xA0}, {'i', 8, 0x378, 0xA1}, {'i', 8, 0x378, 0xA2}},
         {0xA2, 0xA1, 0xA0}},
        {"rep with rcx 0 does nothing",
         {0xF3, 0x6C},
         regs(0, 0, 0x378, 0, b, 0),
         {7},
         regs(0, 0, 0x378, 0, b, 2),
         {},
         {7}},
        {"32-bit addresses wrap and clear the upper halves",
         {0x67, 0xF3, 0x6E},
         regs(0, 0xFFFFFFFF00000001, 0x378, 0xABCD000000000000 | b, 0, 0),
         {9},
         regs(0, 0, 0x378, b + 1, 0, 3),
         {{'o', 8, 0x378, 9}},
         {9}},
        {"a fault mid-string stops there",
         {0xF3, 0x6E},
         regs(0, 4, 0x378, b, 0, 0),
         {5, 6},
         regs(0, 2, 0x378, b + 2, 0, 0),
         {{'o', 8, 0x378, 5}, {'o', 8, 0x378, 6}},
         {5, 6},
         false,
         MemoryFault{b + 2, FaultKind::unmapped}},
        {"an input with nowhere to go loses the one element it read",
         {0xF3, 0x6D},
         regs(0, 3, 0x378, 0, b + 4, 0),
         {0, 0},
         regs(0, 3, 0x378, 0, b + 4, 0),
         {{'i', 32, 0x378, 0xA0}},
         {0, 0},
         false,
         MemoryFault{b + 4, FaultKind::unmapped}},
        {"an input into a read-only page stops at its first byte",
         {0xF3, 0x6C},
         regs(0, 4, 0x378, 0, b + page - 2, 0),
         std::vector<std::uint8_t>(page + 2),
         regs(0, 2, 0x378, 0, b + page, 0),
         {{'i', 8, 0x378, 0xA0}, {'i', 8, 0x378, 0xA1}, {'i', 8, 0x378, 0xA2}},
         with_bytes(std::vector<std::uint8_t>(page + 2), page - 2, {0xA0, 0xA1}),
         false,
         MemoryFault{b + page, FaultKind::protection},
         CodeMode::long64,
         page},
        {"a word that crosses the end faults at its first unreachable byte",
         {0xF3, 0x66, 0x6F},
         regs(0, 2, 0x378, b, 0, 0),
         {1, 2, 3},
         regs(0, 1, 0x378, b + 2, 0, 0),
         {{'o', 16, 0x378, 0x0201}},
         {1, 2, 3},
         false,
         MemoryFault{b + 3, FaultKind::unmapped}},
        {"a word stored across the end leaves no byte of it",
         {0x66, 0x6D},
         regs(0, 0, 0x378, 0, b + 1, 0),
         {0, 0},
         regs(0, 0, 0x378, 0, b + 1, 0),
         {{'i', 16, 0x378, 0xA0}},
         {0, 0},
         false,
         MemoryFault{b + 2, FaultKind::unmapped}},
        {"32-bit code counts ECX and uses EDI, clearing their upper halves",
         {0xF3, 0x6C},
         regs(0, 0xDEAD000000000002, 0x378, 0, 0x1234567800000000 | b, 0),
         {0, 0, 7},
         regs(0, 0, 0x378, 0, b + 2, 2),
         {{'i', 8, 0x378, 0xA0}, {'i', 8, 0x378, 0xA1}},
         {0xA0, 0xA1, 7},
         true,
         std::nullopt,
         CodeMode::compat32},
        {"32-bit code with 67: CX and SI, their upper bits kept",
         {0x64, 0x67, 0xF3, 0x6E},
         regs(0, 0x12340002, 0x378, 0xABCD0100, 0, 0),
         {0, 4, 5},
         regs(0, 0x12340000, 0x378, 0xABCD0102, 0, 4),
         {{'o', 8, 0x378, 4}, {'o', 8, 0x378, 5}},
         {0, 4, 5},
         true,
         std::nullopt,
         CodeMode::compat32,
         ~std::size_t{0},
         fs_at(b - 0xFF)},
        {"16-bit addresses wrap to the segment's start",
         {0x64, 0x67, 0xF3, 0x6E},
         regs(0, 2, 0x378, 0xFFFF, 0, 0),
         {9},
         regs(0, 1, 0x378, 0, 0, 0),
         {{'o', 8, 0x378, 9}},
         {9},
         false,
         MemoryFault{b - 0xFFFF, FaultKind::unmapped},
         CodeMode::compat32,
         ~std::size_t{0},
         fs_at(b - 0xFFFF)},
        {"a huge count stops after a batch",
         {0xF3, 0x6C},
         regs(0, many, 0x80, 0, b, 0),
         std::vector<std::uint8_t>(many),
         regs(0, 5, 0x80, 0, b + many - 5, 0),
         {},
         {},
         false},
    };
    for (const ExecuteCase &test : cases) {
        SCOPED_TRACE(test.name);
        std::vector<std::uint8_t> code = test.code;
        code.resize(qport_run::longest_instruction + 1, 0xCC);
        const std::optional<PortInstruction> instruction =
            qport_run::decode(code.data(), test.mode);
        ASSERT_TRUE(instruction.has_value());
        qport_run::Registers registers = test.before;
        registers.fs_base = test.segments.fs_base;
        RecordingPorts ports;
        TestMemory memory(buffer_at, test.memory, test.writable_bytes);
        const qport_run::Execution execution =
            qport_run::execute(*instruction, registers, ports, memory);
        EXPECT_EQ(registers.rax, test.after.rax);
        EXPECT_EQ(registers.rcx, test.after.rcx);
        EXPECT_EQ(registers.rdx, test.after.rdx);
        EXPECT_EQ(registers.rsi, test.after.rsi);
        EXPECT_EQ(registers.rdi, test.after.rdi);
        EXPECT_EQ(registers.rip, test.after.rip);
        EXPECT_EQ(execution.complete, test.complete);
        EXPECT_EQ(execution.memory_fault, test.fault);
        if (test.name == "a huge count stops after a batch") {
            EXPECT_EQ(ports.transfers.size(), qport_run::elements_per_execution);
            continue;
        }
        EXPECT_EQ(ports.transfers, test.transfers);
        EXPECT_EQ(memory.bytes(), test.memory_after);
    }
}

// outs reads through an FS or GS base; ins stores through ES, which an
// override does not change.
TEST(Execute, OnlyOutsTakesTheSegmentBase)
{
    for (const std::uint8_t opcode : {std::uint8_t{0x6E}, std::uint8_t{0x6C}}) {
        std::vector<std::uint8_t> code = {0x64, opcode};
        code.resize(qport_run::longest_instruction + 1, 0xCC);
        const bool outs = opcode == 0x6E;
        qport_run::Registers registers = regs(0, 0, 0x378, 0x10, outs ? 0 : buffer_at, 0);
        registers.fs_base = buffer_at - 0x10;
        RecordingPorts ports;
        TestMemory memory(buffer_at, {0x42}, 1);
        const qport_run::Execution execution =
            qport_run::execute(*qport_run::decode(code.data()), registers, ports, memory);
        EXPECT_TRUE(execution.complete);
        EXPECT_EQ(ports.transfers.size(), 1U);
        EXPECT_EQ(memory.bytes()[0], outs ? 0x42 : 0xA0);
    }
}

} // namespace
