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

// How far an offset reaches before it wraps, at each address size.
std::uint64_t address_span(AddressSize size)
{
    switch (size) {
    case AddressSize::bits16:
        return 0x10000;
    case AddressSize::bits32:
        return 0x100000000;
    case AddressSize::bits64:
        break;
    }
    return 0;
}

// RSI, RDI or RCX at the instruction's address size.
std::uint64_t address_register(const PortInstruction &instruction, std::uint64_t value)
{
    const std::uint64_t span = address_span(instruction.address_size);
    return span == 0 ? value : value & (span - 1);
}

// A 32-bit write clears the upper half; a 16-bit one keeps everything above.
void set_address_register(const PortInstruction &instruction, std::uint64_t &reg,
                          std::uint64_t value)
{
    if (instruction.address_size == AddressSize::bits16)
        reg = (reg & ~std::uint64_t{0xFFFF}) | (value & 0xFFFF);
    else
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

// Linear addresses of 32-bit code are 32 bits wide.
std::uint64_t linear_address(const PortInstruction &instruction, std::uint64_t base,
                             std::uint64_t offset)
{
    const std::uint64_t address = base + offset;
    return instruction.mode == CodeMode::compat32 ? address & 0xFFFFFFFF : address;
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

// The elements from offset on that lie in one ascending block of memory,
// at most wanted: always one when the direction flag is set, and never past
// the point where the offset or the linear address wraps.
std::uint64_t contiguous_elements(const PortInstruction &instruction, bool downwards,
                                  std::uint64_t offset, std::uint64_t address, std::uint64_t wanted)
{
    if (downwards)
        return 1;
    const unsigned width = instruction.width_bytes;
    std::uint64_t elements = wanted;
    if (const std::uint64_t span = address_span(instruction.address_size); span != 0)
        elements = std::min(elements, (span - offset) / width);
    if (instruction.mode == CodeMode::compat32)
        elements = std::min(elements, (0x100000000 - address) / width);
    return std::max<std::uint64_t>(1, elements);
}

// Elements that lie wholly in the page of address, or the one that crosses
// into the next.
std::uint64_t elements_in_page(std::uint64_t address, unsigned width)
{
    const std::uint64_t left = page_size - (address % page_size);
    return std::max<std::uint64_t>(1, left / width);
}

constexpr std::size_t buffer_bytes = 256;

// Up to elements elements out: read from memory first, then written to the
// port; gives how many went out, and the fault where memory ended.
std::uint64_t output_run(const PortInstruction &instruction, std::uint64_t address,
                         std::uint64_t elements, PortSpace &ports, Memory &memory,
                         std::uint16_t port, std::optional<MemoryFault> &fault)
{
    const unsigned width = instruction.width_bytes;
    std::array<std::uint8_t, buffer_bytes> buffer{};
    const std::size_t bytes = static_cast<std::size_t>(elements) * width;
    const Copied copied = memory.read(address, buffer.data(), bytes, width);
    const std::uint64_t moved = copied.bytes / width;
    for (std::uint64_t i = 0; i < moved; ++i)
        ports.write(port, width, element_at(buffer.data() + i * width, width));
    if (copied.bytes < bytes)
        fault = copied.fault;
    return moved;
}

// Up to elements elements in: each read from the port, then stored. The
// first store into a page goes alone, so that a page the program may not
// write costs one port read (as the processor may lose it), not a batch.
std::uint64_t input_run(const PortInstruction &instruction, std::uint64_t address,
                        std::uint64_t elements, bool page_known_writable, PortSpace &ports,
                        Memory &memory, std::uint16_t port, std::optional<MemoryFault> &fault)
{
    const unsigned width = instruction.width_bytes;
    std::array<std::uint8_t, buffer_bytes> buffer{};
    std::uint64_t moved = 0;
    while (moved < elements) {
        const std::uint64_t batch = page_known_writable || moved > 0 ? elements - moved : 1;
        for (std::uint64_t i = 0; i < batch; ++i)
            store_element(buffer.data() + i * width, width, ports.read(port, width));
        const std::size_t bytes = static_cast<std::size_t>(batch) * width;
        const Copied copied = memory.write(address + moved * width, buffer.data(), bytes, width);
        moved += copied.bytes / width;
        if (copied.bytes < bytes) {
            fault = copied.fault;
            break;
        }
    }
    return moved;
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
    // The page the last input stored into, and stored into whole.
    std::optional<std::uint64_t> writable_page;
    Execution execution;
    while (budget > 0) {
        const std::uint64_t offset = address_register(instruction, index);
        const std::uint64_t address = linear_address(instruction, base, offset);
        std::uint64_t wanted =
            std::min(contiguous_elements(instruction, downwards, offset, address, budget),
                     std::max<std::uint64_t>(1, buffer_bytes / width));
        std::uint64_t moved = 0;
        if (instruction.direction == Direction::out) {
            moved = output_run(instruction, address, wanted, ports, memory, port,
                               execution.memory_fault);
        } else {
            wanted = std::min(wanted, elements_in_page(address, width));
            const std::uint64_t page = address / page_size;
            moved = input_run(instruction, address, wanted, writable_page == page, ports, memory,
                              port, execution.memory_fault);
            if (moved > 0 && (address + moved * width - 1) / page_size == page)
                writable_page = page;
        }
        const std::uint64_t step = moved * width;
        set_address_register(instruction, index, downwards ? offset - step : offset + step);
        remaining -= moved;
        budget -= moved;
        if (instruction.repeat)
            set_address_register(instruction, registers.rcx, remaining);
        if (execution.memory_fault)
            return execution;
    }
    if (remaining == 0) {
        registers.rip += instruction.length;
        execution.complete = true;
    }
    return execution;
}

bool is_legacy_prefix(std::uint8_t byte)
{
    switch (byte) {
    case 0x26:
    case 0x2E:
    case 0x36:
    case 0x3E:
    case 0x64:
    case 0x65:
    case 0x66:
    case 0x67:
    case 0xF0:
    case 0xF2:
    case 0xF3:
        return true;
    default:
        return false;
    }
}

} // namespace

std::optional<CodeMode> code_mode_of(std::uint16_t code_segment)
{
    switch (code_segment) {
    case code_segment_64:
        return CodeMode::long64;
    case code_segment_32:
        return CodeMode::compat32;
    default:
        return std::nullopt;
    }
}

std::optional<PortInstruction> decode(const std::uint8_t *code, CodeMode mode)
{
    PortInstruction instruction;
    instruction.mode = mode;
    bool operand_16 = false;
    bool address_override = false;
    bool repeat = false;
    bool lock = false;
    // The REX prefix right before the current byte, if any.
    std::uint8_t rex = 0;
    for (std::size_t at = 0; at < longest_instruction; ++at) {
        const std::uint8_t byte = code[at];
        if (is_legacy_prefix(byte)) {
            rex = 0;
            switch (byte) {
            case 0x66:
                operand_16 = true;
                break;
            case 0x67:
                address_override = true;
                break;
            case 0xF0:
                lock = true;
                break;
            case 0xF2:
            case 0xF3:
                repeat = true;
                break;
            case 0x64:
                instruction.segment = Segment::fs;
                break;
            case 0x65:
                instruction.segment = Segment::gs;
                break;
            default:
                instruction.segment = Segment::flat;
                break;
            }
            continue;
        }
        if (mode == CodeMode::long64 && (byte & 0xF0) == 0x40) {
            rex = byte;
            continue;
        }
        if (lock)
            return std::nullopt;

        const bool rex_w = (rex & 0x08) != 0;
        const unsigned operand_width = operand_16 && !rex_w ? 2 : 4;
        instruction.width_bytes = (byte & 1) != 0 ? operand_width : 1;
        if (mode == CodeMode::long64)
            instruction.address_size = address_override ? AddressSize::bits32 : AddressSize::bits64;
        else
            instruction.address_size = address_override ? AddressSize::bits16 : AddressSize::bits32;
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

std::uint16_t port_of(const PortInstruction &instruction, const Registers &registers)
{
    return instruction.immediate_port ? instruction.port_byte
                                      : static_cast<std::uint16_t>(registers.rdx);
}

Execution execute(const PortInstruction &instruction, Registers &registers, PortSpace &ports,
                  Memory &memory)
{
    if (instruction.string)
        return execute_string(instruction, registers, ports, memory);

    const std::uint16_t port = port_of(instruction, registers);
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
