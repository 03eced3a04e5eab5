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

using qport_run::Direction;
using qport_run::PortInstruction;
using qport_run::Segment;

struct DecodeCase {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::optional<PortInstruction> expected;
};

PortInstruction port(Direction direction, unsigned width, unsigned length)
{
    PortInstruction instruction;
    instruction.direction = direction;
    instruction.width_bytes = width;
    instruction.length = length;
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
                       bool address_32 = false, Segment segment = Segment::flat)
{
    PortInstruction instruction = port(direction, width, length);
    instruction.string = true;
    instruction.repeat = repeat;
    instruction.address_32 = address_32;
    instruction.segment = segment;
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
        {"66 with REX.W is 16 bits", {0x66, 0x48, 0xED}, port(in, 2, 3)},
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
        {"rep insd, 32-bit addresses", {0x67, 0xF3, 0x6D}, string(in, 4, 3, true, true)},
        {"rep outsw", {0xF3, 0x66, 0x6F}, string(out, 2, 3, true)},
        {"repne acts as rep", {0xF2, 0x6E}, string(out, 1, 2, true)},
        {"outsb through fs", {0x64, 0xF3, 0x6E}, string(out, 1, 3, true, false, Segment::fs)},
        {"outsb through gs", {0x65, 0x6E}, string(out, 1, 2, false, false, Segment::gs)},
        {"cs override has no base", {0x2E, 0x6E}, string(out, 1, 2, false)},
        {"lock makes it undefined", {0xF0, 0xEC}, std::nullopt},
        {"nop", {0x90}, std::nullopt},
        {"ud2", {0x0F, 0x0B}, std::nullopt},
        {"mov", {0x89, 0xC0}, std::nullopt},
        {"hlt", {0xF4}, std::nullopt},
        {"longer than 15 bytes", repeated(0x66, 15, 0xED), std::nullopt},
        {"15 bytes exactly", repeated(0x66, 14, 0xED), port(in, 2, 15)},
        {"immediate past 15 bytes", repeated(0x66, 14, 0xE4), std::nullopt},
    };
    for (const DecodeCase &test : cases) {
        SCOPED_TRACE(test.name);
        std::vector<std::uint8_t> code = test.bytes;
        code.resize(qport_run::longest_instruction + 1, 0xCC);
        const std::optional<PortInstruction> got = qport_run::decode(code.data());
        EXPECT_EQ(got, test.expected);
    }
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

// Bytes at [base, base + size); everything else faults.
class TestMemory final : public qport_run::Memory {
public:
    TestMemory(std::uint64_t base, std::vector<std::uint8_t> bytes)
        : base_(base), bytes_(std::move(bytes))
    {}
    std::size_t read(std::uint64_t address, void *out, std::size_t size) override
    {
        const std::size_t n = reachable(address, size);
        std::memcpy(out, bytes_.data() + (address - base_), n);
        return n;
    }
    std::size_t write(std::uint64_t address, const void *in, std::size_t size) override
    {
        const std::size_t n = reachable(address, size);
        std::memcpy(bytes_.data() + (address - base_), in, n);
        return n;
    }
    std::size_t writable(std::uint64_t address, std::size_t size) override
    {
        return reachable(address, size);
    }
    const std::vector<std::uint8_t> &bytes() const { return bytes_; }

private:
    std::size_t reachable(std::uint64_t address, std::size_t size) const
    {
        if (address < base_ || address >= base_ + bytes_.size())
            return 0;
        return std::min<std::size_t>(size, base_ + bytes_.size() - address);
    }
    std::uint64_t base_;
    std::vector<std::uint8_t> bytes_;
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
    std::optional<std::uint64_t> fault_at = std::nullopt;
};

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
         b + 2},
        {"an input with nowhere to go reads no port",
         {0xF3, 0x6D},
         regs(0, 1, 0x378, 0, b, 0),
         {0, 0},
         regs(0, 1, 0x378, 0, b, 0),
         {},
         {0, 0},
         false,
         b},
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
        const std::optional<PortInstruction> instruction = qport_run::decode(code.data());
        ASSERT_TRUE(instruction.has_value());
        qport_run::Registers registers = test.before;
        RecordingPorts ports;
        TestMemory memory(buffer_at, test.memory);
        const qport_run::Execution execution =
            qport_run::execute(*instruction, registers, ports, memory);
        EXPECT_EQ(registers.rax, test.after.rax);
        EXPECT_EQ(registers.rcx, test.after.rcx);
        EXPECT_EQ(registers.rdx, test.after.rdx);
        EXPECT_EQ(registers.rsi, test.after.rsi);
        EXPECT_EQ(registers.rdi, test.after.rdi);
        EXPECT_EQ(registers.rip, test.after.rip);
        EXPECT_EQ(execution.complete, test.complete);
        EXPECT_EQ(execution.memory_fault, test.fault_at.has_value());
        if (test.fault_at) {
            EXPECT_EQ(execution.fault_address, *test.fault_at);
        }
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
        TestMemory memory(buffer_at, {0x42});
        const qport_run::Execution execution =
            qport_run::execute(*qport_run::decode(code.data()), registers, ports, memory);
        EXPECT_TRUE(execution.complete);
        EXPECT_EQ(ports.transfers.size(), 1U);
        EXPECT_EQ(memory.bytes()[0], outs ? 0x42 : 0xA0);
    }
}

} // namespace
