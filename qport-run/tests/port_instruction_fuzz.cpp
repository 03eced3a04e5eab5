// SPDX-License-Identifier: LGPL-2.1-or-later
// libFuzzer target, built with clang under AddressSanitizer and
// UndefinedBehaviorSanitizer: arbitrary bytes as the code at the fault, the
// registers, the program's memory and the port space's answers, through the
// decoder and the executor; and arbitrary text as a port grant handed over
// in the environment. It checks what must hold for any input: the decoder
// reads no byte past the longest instruction, the executor stays in the
// memory it was given and leaves the registers as the processor would, and
// a grant read back from its own text is the same grant.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "port_grant.h"
#include "port_instruction.h"

namespace {

// Reads the input from the front, giving zeros once it is used up.
class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::uint64_t take(std::size_t bytes)
    {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            value |= std::uint64_t{byte()} << (8 * i);
        return value;
    }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::vector<std::uint8_t> rest() { return {data_ + std::min(at_, size_), data_ + size_}; }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

void check(bool condition)
{
    if (!condition)
        std::abort();
}

class FuzzPorts final : public qport_run::PortSpace {
public:
    explicit FuzzPorts(std::uint32_t seed) : value_(seed) {}
    std::uint32_t read(std::uint16_t /*port*/, unsigned width_bytes) override
    {
        check(width_bytes == 1 || width_bytes == 2 || width_bytes == 4);
        value_ = value_ * 1103515245U + 12345U;
        return width_bytes == 4 ? value_ : value_ & ((1U << (8 * width_bytes)) - 1);
    }
    void write(std::uint16_t /*port*/, unsigned width_bytes, std::uint32_t value) override
    {
        check(width_bytes == 1 || width_bytes == 2 || width_bytes == 4);
        check(width_bytes == 4 || value < (1U << (8 * width_bytes)));
    }

private:
    std::uint32_t value_;
};

// The program's memory: bytes at base, the first writable of them writable.
class FuzzMemory final : public qport_run::Memory {
public:
    FuzzMemory(std::uint64_t base, std::vector<std::uint8_t> bytes, std::size_t writable)
        : base_(base), bytes_(std::move(bytes)), writable_(std::min(writable, bytes_.size()))
    {}
    qport_run::Copied read(std::uint64_t address, void *out, std::size_t size,
                           unsigned width) override
    {
        check(size > 0 && size % width == 0 && size <= 4096);
        const std::size_t n = reachable(address, size, bytes_.size());
        if (n > 0)
            std::memcpy(out, bytes_.data() + (address - base_), n);
        return {n, fault_at(address + n)};
    }
    qport_run::Copied write(std::uint64_t address, const void *in, std::size_t size,
                            unsigned width) override
    {
        check(size > 0 && size % width == 0 && size <= 4096);
        const std::size_t whole = reachable(address, size, writable_) / width * width;
        if (whole > 0)
            std::memcpy(bytes_.data() + (address - base_), in, whole);
        return {whole, fault_at(address + whole)};
    }

private:
    std::size_t reachable(std::uint64_t address, std::size_t size, std::size_t limit) const
    {
        if (address < base_ || address - base_ >= limit)
            return 0;
        return std::min<std::size_t>(size, limit - (address - base_));
    }
    qport_run::MemoryFault fault_at(std::uint64_t address) const
    {
        const bool mapped = address >= base_ && address - base_ < bytes_.size();
        return {address,
                mapped ? qport_run::FaultKind::protection : qport_run::FaultKind::unmapped};
    }
    std::uint64_t base_;
    std::vector<std::uint8_t> bytes_;
    std::size_t writable_;
};

void fuzz_instruction(Input &input)
{
    // Exactly the longest instruction, on the heap: a read past it is an
    // AddressSanitizer report.
    std::vector<std::uint8_t> code(qport_run::longest_instruction);
    for (std::uint8_t &byte : code)
        byte = input.byte();
    const auto mode =
        (input.byte() & 1) != 0 ? qport_run::CodeMode::compat32 : qport_run::CodeMode::long64;
    const std::optional<qport_run::PortInstruction> instruction =
        qport_run::decode(code.data(), mode);
    if (!instruction)
        return;
    check(instruction->length >= 1 && instruction->length <= qport_run::longest_instruction);
    check(instruction->mode == mode);

    qport_run::Registers registers;
    registers.rax = input.take(8);
    registers.rcx = input.take(8);
    registers.rdx = input.take(8);
    registers.rsi = input.take(8);
    registers.rdi = input.take(8);
    registers.rip = input.take(8);
    registers.rflags = input.take(8);
    registers.fs_base = input.take(8);
    registers.gs_base = input.take(8);
    const std::uint64_t base = input.take(8);
    const std::size_t writable = input.take(2);
    FuzzPorts ports(static_cast<std::uint32_t>(input.take(4)));
    FuzzMemory memory(base, input.rest(), writable);

    const qport_run::Registers before = registers;
    const qport_run::Execution execution =
        qport_run::execute(*instruction, registers, ports, memory);
    check(!(execution.complete && execution.memory_fault));
    check(registers.rip == (execution.complete ? before.rip + instruction->length : before.rip));
    check(registers.rdx == before.rdx && registers.rflags == before.rflags);
    if (!instruction->string) {
        check(execution.complete);
        check(registers.rcx == before.rcx && registers.rsi == before.rsi &&
              registers.rdi == before.rdi);
    }
    if (instruction->direction == qport_run::Direction::out)
        check(registers.rax == before.rax);
}

// A grant's text read back is the same grant, and text that is not one is
// refused.
void fuzz_grant(Input &input)
{
    const std::vector<std::uint8_t> bytes = input.rest();
    const std::string_view text(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    std::optional<qport_run::PortGrant> grant = qport_run::PortGrant::parse(text);
    if (!grant)
        return;
    std::vector<char> written(grant->written() + 1);
    grant->write(written.data());
    check(std::strlen(written.data()) == grant->written());
    std::optional<qport_run::PortGrant> again = qport_run::PortGrant::parse(written.data());
    check(again.has_value());
    for (unsigned long port = 0; port < qport_run::port_count; ++port)
        check(grant->allows(static_cast<std::uint16_t>(port), 1) ==
              again->allows(static_cast<std::uint16_t>(port), 1));
    grant->release();
    again->release();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Input input(data, size);
    if ((input.byte() & 0x0F) == 0)
        fuzz_grant(input);
    else
        fuzz_instruction(input);
    return 0;
}
