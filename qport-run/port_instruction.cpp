// SPDX-License-Identifier: LGPL-2.1-or-later
#include "port_instruction.h"

#include <algorithm>
#include <array>

namespace qport_run {
namespace {

constexpr std::uint64_t direction_flag = 1U << 10;

// Register writes of 32 bits clear the upper half, as every 32-bit
// destination does in 64-bit mode; 8- and 16-bit writes keep the rest.
void write_accumulator(std::uint64_t &rax, unsigned width_bytes, std::uint32_t value)
{
    switch (width_bytes) {
    case 1:
        rax = (rax & ~std::uint64_t{0xFF}) | (value & 0xFFU);
        break;
    case 2:
        rax = (rax & ~std::uint64_t{0xFFFF}) | (value & 0xFFFFU);
        break;
    default:
        rax = value;
        break;
    }
}

std::uint32_t accumulator(std::uint64_t rax, unsigned width_bytes)
{
    const std::uint64_t mask = width_bytes == 4 ? 0xFFFFFFFFU : (1U << (8 * width_bytes)) - 1;
    return static_cast<std::uint32_t>(rax & mask);
}

// RSI, RDI or RCX at the instruction's address size.
std::uint64_t address_register(const PortInstruction &instruction, std::uint64_t value)
{
    return instruction.address_32 ? (value & 0xFFFFFFFFU) : value;
}

void set_address_register(const PortInstruction &instruction, std::uint64_t &reg,
                          std::uint64_t value)
{
    reg = address_register(instruction, value);
}

std::uint64_t segment_base(const PortInstruction &instruction, const Registers &registers)
{
    switch (instruction.segment) {
    case Segment::fs:
        return registers.fs_base;
    case Segment::gs:
        return registers.gs_base;
    case Segment::flat:
        break;
    }
    return 0;
}

std::uint32_t element_at(const std::uint8_t *bytes, unsigned width_bytes)
{
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width_bytes; ++i)
        value |= std::uint32_t{bytes[i]} << (8 * i);
    return value;
}

void store_element(std::uint8_t *bytes, unsigned width_bytes, std::uint32_t value)
{
    for (unsigned i = 0; i < width_bytes; ++i)
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A run of elements that lie in one ascending block of memory: always one
// element when the direction flag is set or the 32-bit offset would wrap
// within the run.
std::uint64_t contiguous_elements(const PortInstruction &instruction, bool downwards,
                                  std::uint64_t offset, std::uint64_t wanted, std::uint64_t room)
{
    if (downwards)
        return 1;
    std::uint64_t elements = std::min(wanted, room);
    if (instruction.address_32) {
        const std::uint64_t before_wrap = (0x100000000U - offset) / instruction.width_bytes;
        elements = std::max<std::uint64_t>(1, std::min(elements, before_wrap));
    }
    return elements;
}

Execution execute_string(const PortInstruction &instruction, Registers &registers, PortSpace &ports,
                         Memory &memory)
{
    const unsigned width = instruction.width_bytes;
    const auto port = static_cast<std::uint16_t>(registers.rdx);
    const bool downwards = (registers.rflags & direction_flag) != 0;
    // ins always stores through ES, which has no base; only outs's source
    // takes an override.
    const std::uint64_t base =
        instruction.direction == Direction::out ? segment_base(instruction, registers) : 0;
    std::uint64_t &index = instruction.direction == Direction::in ? registers.rdi : registers.rsi;

    std::uint64_t remaining = instruction.repeat ? address_register(instruction, registers.rcx) : 1;
    std::uint64_t budget = std::min(remaining, elements_per_execution);
    std::array<std::uint8_t, 256> buffer{};
    Execution execution;
    while (budget > 0) {
        const std::uint64_t offset = address_register(instruction, index);
        const std::uint64_t address = base + offset;
        const std::uint64_t wanted =
            contiguous_elements(instruction, downwards, offset, budget, buffer.size() / width);
        const std::size_t bytes = static_cast<std::size_t>(wanted) * width;
        std::uint64_t moved = 0;
        if (instruction.direction == Direction::out) {
            moved = memory.read(address, buffer.data(), bytes) / width;
            for (std::uint64_t i = 0; i < moved; ++i)
                ports.write(port, width, element_at(buffer.data() + i * width, width));
        } else {
            moved = memory.writable(address, bytes) / width;
            for (std::uint64_t i = 0; i < moved; ++i)
                store_element(buffer.data() + i * width, width, ports.read(port, width));
            moved = memory.write(address, buffer.data(), moved * width) / width;
        }
        const std::uint64_t step = moved * width;
        set_address_register(instruction, index, downwards ? offset - step : offset + step);
        remaining -= moved;
        budget -= moved;
        if (instruction.repeat)
            set_address_register(instruction, registers.rcx, remaining);
        if (moved < wanted) {
            execution.memory_fault = true;
            execution.fault_address = base + address_register(instruction, index);
            return execution;
        }
    }
    if (remaining == 0) {
        registers.rip += instruction.length;
        execution.complete = true;
    }
    return execution;
}

} // namespace

std::optional<PortInstruction> decode(const std::uint8_t *code)
{
    PortInstruction instruction;
    bool operand_16 = false;
    bool repeat = false;
    bool lock = false;
    for (std::size_t at = 0; at < longest_instruction; ++at) {
        const std::uint8_t byte = code[at];
        switch (byte) {
        case 0x66:
            operand_16 = true;
            continue;
        case 0x67:
            instruction.address_32 = true;
            continue;
        case 0xF0:
            lock = true;
            continue;
        case 0xF2:
        case 0xF3:
            repeat = true;
            continue;
        case 0x26:
        case 0x2E:
        case 0x36:
        case 0x3E:
            instruction.segment = Segment::flat;
            continue;
        case 0x64:
            instruction.segment = Segment::fs;
            continue;
        case 0x65:
            instruction.segment = Segment::gs;
            continue;
        default:
            break;
        }
        // REX prefixes change neither the operand size nor the registers of
        // a port instruction.
        if ((byte & 0xF0) == 0x40)
            continue;
        if (lock)
            return std::nullopt;

        const unsigned operand_width = operand_16 ? 2 : 4;
        instruction.width_bytes = (byte & 1) != 0 ? operand_width : 1;
        instruction.length = static_cast<unsigned>(at) + 1;
        switch (byte) {
        case 0xE4:
        case 0xE5:
        case 0xE6:
        case 0xE7:
            if (at + 1 >= longest_instruction)
                return std::nullopt;
            instruction.direction = byte <= 0xE5 ? Direction::in : Direction::out;
            instruction.immediate_port = true;
            instruction.port_byte = code[at + 1];
            instruction.length += 1;
            return instruction;
        case 0xEC:
        case 0xED:
        case 0xEE:
        case 0xEF:
            instruction.direction = byte <= 0xED ? Direction::in : Direction::out;
            return instruction;
        case 0x6C:
        case 0x6D:
        case 0x6E:
        case 0x6F:
            instruction.direction = byte <= 0x6D ? Direction::in : Direction::out;
            instruction.string = true;
            instruction.repeat = repeat;
            return instruction;
        default:
            return std::nullopt;
        }
    }
    return std::nullopt;
}

Execution execute(const PortInstruction &instruction, Registers &registers, PortSpace &ports,
                  Memory &memory)
{
    if (instruction.string)
        return execute_string(instruction, registers, ports, memory);

    const std::uint16_t port = instruction.immediate_port
                                   ? instruction.port_byte
                                   : static_cast<std::uint16_t>(registers.rdx);
    if (instruction.direction == Direction::in)
        write_accumulator(registers.rax, instruction.width_bytes,
                          ports.read(port, instruction.width_bytes));
    else
        ports.write(port, instruction.width_bytes,
                    accumulator(registers.rax, instruction.width_bytes));
    registers.rip += instruction.length;
    Execution execution;
    execution.complete = true;
    return execution;
}

} // namespace qport_run
