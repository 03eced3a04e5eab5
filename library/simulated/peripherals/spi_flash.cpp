// SPDX-License-Identifier: LGPL-2.1-or-later
// A JEDEC 25-series SPI NOR flash on the simulated parallel port, wired as
// one of the cables flashrom's rayer_spi programmer drives: chip select,
// clock and MOSI on data lines, MISO on a status line. The chip is a
// Winbond W25X10, W25Q80 or W25Q128 as their datasheets describe the
// commands flashrom uses; its contents are a device memory (see
// device_memory.h), its registers and the transaction under way are here.
//
// SPI mode 0: the chip samples MOSI as SCK rises and moves MISO on as SCK
// falls. Commands that change the chip (write enable, program, erase,
// status writes, power-down) take effect as CS rises after a whole number
// of bytes, as the datasheets say; cut short, they are ignored. One bus has
// one master: two processes clocking it at once get what a real bus would
// give them, garbage, but every memory access stays within the chip.
#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "device_memory.h"
#include "parallel_port.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// Status register 1's bits.
constexpr std::uint8_t status_busy = 0x01;
constexpr std::uint8_t status_write_enabled = 0x02;
constexpr std::uint8_t status_block_protect = 0x1C; // BP0..BP2
constexpr std::uint8_t status_top_bottom = 0x20;

struct Chip {
    std::string_view name;
    std::uint32_t size;
    std::array<std::uint8_t, 3> jedec_id; // manufacturer, memory type, capacity
    std::uint8_t device_id;               // for 0x90 and 0xAB
    bool erases_32k;                      // 0x52
    bool erases_chip_by_60;               // 0x60 beside 0xC7
    bool has_sfdp;                        // 0x5A
    bool has_status_2_3;                  // 0x35/0x15, 0x31/0x11, 0x01 with two bytes
    std::uint8_t writable_status_1;       // the bits 0x01 writes
    // Block protection: BP = 1 protects size >> protect_shift at the top (or
    // the bottom with TB), each step up doubles it, up to the whole chip.
    unsigned protect_shift;
};

// The default first, so that a zeroed state is the default chip.
constexpr std::array<Chip, 3> chips{{
    {"w25q80", 1U << 20, {0xEF, 0x40, 0x14}, 0x13, true, true, true, false, 0xFC, 4},
    {"w25x10", 128U << 10, {0xEF, 0x30, 0x11}, 0x10, false, false, false, false, 0xBC, 1},
    {"w25q128", 16U << 20, {0xEF, 0x40, 0x18}, 0x17, true, true, true, true, 0xFC, 6},
}};

// Where a cable puts the chip's lines (data bits), and MISO (a status
// register bit; Busy, bit 7, reads inverted). Some cables power or buffer
// the chip from a line of their own: the chip answers only while it is on.
enum class Enable : std::uint8_t { always, data_bit_4, control_bit_1, data_bits_2_3_low };
struct Wiring {
    std::string_view name;
    std::uint8_t cs, sck, mosi, miso;
    Enable enable;
};
constexpr std::array<Wiring, 6> wirings{{
    {"rayer", 5, 6, 7, 6, Enable::always},
    {"xilinx", 2, 1, 0, 4, Enable::data_bit_4},
    {"byteblastermv", 1, 0, 6, 7, Enable::control_bit_1},
    {"stk200", 7, 4, 5, 6, Enable::data_bits_2_3_low},
    {"wiggler", 1, 2, 3, 7, Enable::always},
    {"spi_tt", 2, 0, 4, 7, Enable::always},
}};

constexpr std::uint32_t default_busy_reads = 3;
constexpr std::uint32_t page_bytes = 256;
constexpr std::uint32_t no_command = 0x100;

struct Flash {
    std::atomic<std::uint8_t> chip;   // index in chips
    std::atomic<std::uint8_t> wiring; // index in wirings
    // Status reads for which WIP stays 1 after a program or erase, as
    // value ^ default_busy_reads so that zeroed memory is the default.
    std::atomic<std::uint32_t> busy_reads_flipped;
    std::atomic<std::uint8_t> status1, status2, status3;
    std::atomic<std::uint32_t> busy_reads_left;
    std::atomic<std::uint8_t> powered_down;
    // The transaction under way.
    std::atomic<std::uint8_t> selected;
    std::atomic<std::uint8_t> bits_in;   // rising edges in this byte
    std::atomic<std::uint8_t> shift_in;  // what MOSI brought in
    std::atomic<std::uint8_t> out;       // MISO is its bit 7
    std::atomic<std::uint8_t> out_next;  // put out at the next falling edge
    std::atomic<std::uint8_t> load_next; // a byte ended: out_next goes out
    std::atomic<std::uint32_t> bytes;    // bytes taken (saturating)
    std::atomic<std::uint32_t> command;  // no_command before the first byte
    std::atomic<std::uint32_t> address;
    std::atomic<std::uint8_t> argument1, argument2;
    std::atomic<std::uint8_t> page[page_bytes]; // page program's buffer
    // What describe shows.
    std::atomic<std::uint32_t> last_command; // + 1; 0 for none yet
    std::atomic<std::uint64_t> programmed_pages;
    std::atomic<std::uint64_t> erases;
};

const Chip &chip_of(const Flash &flash) { return chips[flash.chip.load(relaxed) % chips.size()]; }
const Wiring &wiring_of(const Flash &flash)
{
    return wirings[flash.wiring.load(relaxed) % wirings.size()];
}
std::uint32_t busy_reads(const Flash &flash)
{
    return flash.busy_reads_flipped.load(relaxed) ^ default_busy_reads;
}

MemoryNeed need_of(const ParallelPort &port, const Flash &flash)
{
    MemoryNeed need{};
    const Chip &chip = chip_of(flash);
    const std::string_view slot(port.slot.name, ::strnlen(port.slot.name, sizeof port.slot.name));
    const std::size_t length = std::min(slot.size(), sizeof need.name - 1);
    slot.copy(need.name, length);
    if (length + 1 + chip.name.size() < sizeof need.name) {
        need.name[length] = '-';
        chip.name.copy(need.name + length + 1, chip.name.size());
    }
    need.size = chip.size;
    need.fill = 0xFF;
    return need;
}

DeviceMemory memory(const ParallelPort &port, const Flash &flash)
{
    return memory_of(port.machine, need_of(port, flash));
}

bool powered(const Wiring &wiring, PortLines lines)
{
    switch (wiring.enable) {
    case Enable::data_bit_4:
        return (lines.data & 0x10) != 0;
    case Enable::control_bit_1:
        return (lines.control & control_auto_feed) != 0;
    case Enable::data_bits_2_3_low:
        return (lines.data & 0x0C) == 0;
    default:
        return true;
    }
}

bool line(std::uint8_t data, std::uint8_t bit) { return ((data >> bit) & 1) != 0; }

// The bytes a block-protect setting covers, as [first, end).
struct Range {
    std::uint32_t first, end;
};
Range protected_range(const Chip &chip, std::uint8_t status1)
{
    const unsigned bp = (status1 & status_block_protect) >> 2;
    if (bp == 0)
        return {0, 0};
    const unsigned shift = bp - 1 >= chip.protect_shift ? 0 : chip.protect_shift - (bp - 1);
    const std::uint32_t length = chip.size >> shift;
    if ((status1 & status_top_bottom) != 0)
        return {0, length};
    return {chip.size - length, chip.size};
}
bool overlaps_protection(const Chip &chip, std::uint8_t status1, std::uint32_t first,
                         std::uint32_t end)
{
    const Range range = protected_range(chip, status1);
    return first < range.end && range.first < end;
}

// The SFDP table: a header, one parameter header, and the JEDEC basic flash
// parameters at 0x80 (4 KiB erase by 0x20, the density, the erase types).
std::uint8_t sfdp_byte(const Chip &chip, std::uint32_t address)
{
    const std::uint32_t offset = address & 0xFF;
    constexpr std::array<std::uint8_t, 16> header{'S',  'F',  'D',  'P',  0x00, 0x01, 0x00, 0xFF,
                                                  0x00, 0x00, 0x01, 0x09, 0x80, 0x00, 0x00, 0xFF};
    if (offset < header.size())
        return header[offset];
    if (offset < 0x80 || offset >= 0x80 + 9 * 4)
        return 0xFF;
    const std::uint32_t density_bits = chip.size * 8 - 1;
    const std::array<std::uint32_t, 9> words{
        0xFF802005, density_bits, 0, 0, 0xFFFFFFEE, 0x0000FFFF, 0x0000FFFF, 0x520F200C, 0xFF00D810,
    };
    const std::uint32_t word = words[(offset - 0x80) / 4];
    return static_cast<std::uint8_t>(word >> (8 * ((offset - 0x80) % 4)));
}

bool busy(const Flash &flash) { return flash.busy_reads_left.load(relaxed) != 0; }

// A status read: WIP shows for the set number of reads after a change.
std::uint8_t read_status(Flash &flash, std::uint32_t command)
{
    if (command == 0x35)
        return flash.status2.load(relaxed);
    if (command == 0x15)
        return flash.status3.load(relaxed);
    std::uint8_t value = flash.status1.load(relaxed);
    std::uint32_t left = flash.busy_reads_left.load(relaxed);
    if (left != 0) {
        value |= status_busy;
        flash.busy_reads_left.store(left - 1, relaxed);
    }
    return value;
}

bool reads_status(const Chip &chip, std::uint32_t command)
{
    return command == 0x05 || (chip.has_status_2_3 && (command == 0x35 || command == 0x15));
}

// The commands the chip takes; anything else is ignored, MISO left high.
bool known(const Chip &chip, std::uint32_t command)
{
    switch (command) {
    case 0x9F:
    case 0x90:
    case 0xAB:
    case 0x03:
    case 0x0B:
    case 0x06:
    case 0x04:
    case 0x05:
    case 0x01:
    case 0x02:
    case 0x20:
    case 0xD8:
    case 0xC7:
    case 0xB9:
        return true;
    case 0x52:
        return chip.erases_32k;
    case 0x60:
        return chip.erases_chip_by_60;
    case 0x5A:
        return chip.has_sfdp;
    case 0x35:
    case 0x15:
    case 0x31:
    case 0x11:
        return chip.has_status_2_3;
    default:
        return false;
    }
}

std::uint8_t memory_byte(const DeviceMemory &memory, std::uint32_t address)
{
    return memory.bytes == nullptr ? 0xFF : memory.bytes[address % memory.size].load(relaxed);
}

// A whole byte came in: what the chip does with it, and the byte it puts
// out next.
std::uint8_t take_byte(const ParallelPort &port, Flash &flash, std::uint8_t in)
{
    const Chip &chip = chip_of(flash);
    const std::uint32_t index = flash.bytes.load(relaxed);
    flash.bytes.store(index == UINT32_MAX ? index : index + 1, relaxed);
    if (index == 0) {
        std::uint32_t command = in;
        const bool ignored = !known(chip, command) ||
                             (flash.powered_down.load(relaxed) != 0 && command != 0xAB) ||
                             (busy(flash) && !reads_status(chip, command));
        if (ignored)
            command = no_command;
        flash.command.store(command, relaxed);
        flash.address.store(0, relaxed);
        if (command != no_command)
            flash.last_command.store(command + 1, relaxed);
        if (command == 0x9F)
            return chip.jedec_id[0];
        if (reads_status(chip, command))
            return read_status(flash, command);
        return 0xFF;
    }
    const std::uint32_t command = flash.command.load(relaxed);
    std::uint32_t address = flash.address.load(relaxed);
    if (index <= 3) {
        address = (address << 8) | in;
        flash.address.store(address, relaxed);
    }
    switch (command) {
    case 0x9F:
        return chip.jedec_id[index % 3];
    case 0x05:
    case 0x35:
    case 0x15:
        return read_status(flash, command);
    case 0x90: {
        if (index < 3)
            return 0xFF;
        const bool device_first = (address & 1) != 0;
        return ((index - 3) % 2 == 0) != device_first ? chip.jedec_id[0] : chip.device_id;
    }
    case 0xAB:
        return index < 3 ? 0xFF : chip.device_id;
    case 0x03:
    case 0x0B:
    case 0x5A: {
        const std::uint32_t first_data = command == 0x03 ? 3 : 4;
        if (index < first_data)
            return 0xFF;
        const std::uint32_t at = address + (index - first_data);
        if (command == 0x5A)
            return sfdp_byte(chip, at);
        return memory_byte(memory(port, flash), at);
    }
    case 0x02:
        if (index == 3) {
            for (auto &byte : flash.page)
                byte.store(0xFF, relaxed);
        } else if (index > 3) {
            // Past the page's end the address wraps to its start.
            flash.page[(address + (index - 4)) % page_bytes].store(in, relaxed);
        }
        return 0xFF;
    case 0x01:
    case 0x31:
    case 0x11:
        if (index == 1)
            flash.argument1.store(in, relaxed);
        else if (index == 2)
            flash.argument2.store(in, relaxed);
        return 0xFF;
    default:
        return 0xFF;
    }
}

void start_busy(Flash &flash)
{
    flash.busy_reads_left.store(busy_reads(flash), relaxed);
    flash.status1.fetch_and(static_cast<std::uint8_t>(~status_write_enabled), relaxed);
}

void erase(const ParallelPort &port, Flash &flash, std::uint32_t first, std::uint32_t length)
{
    const Chip &chip = chip_of(flash);
    first = first % chip.size & ~(length - 1);
    if (overlaps_protection(chip, flash.status1.load(relaxed), first, first + length))
        return;
    const DeviceMemory bytes = memory(port, flash);
    if (bytes.bytes != nullptr) {
        for (std::uint32_t i = 0; i < length; ++i)
            bytes.bytes[first + i].store(0xFF, relaxed);
    }
    flash.erases.fetch_add(1, relaxed);
    start_busy(flash);
}

void program(const ParallelPort &port, Flash &flash)
{
    const Chip &chip = chip_of(flash);
    const std::uint32_t page_start = flash.address.load(relaxed) % chip.size & ~(page_bytes - 1);
    if (overlaps_protection(chip, flash.status1.load(relaxed), page_start, page_start + page_bytes))
        return;
    const DeviceMemory bytes = memory(port, flash);
    if (bytes.bytes != nullptr) {
        // A program only clears bits: erasing is what sets them.
        for (std::uint32_t i = 0; i < page_bytes; ++i)
            bytes.bytes[page_start + i].fetch_and(flash.page[i].load(relaxed), relaxed);
    }
    flash.programmed_pages.fetch_add(1, relaxed);
    start_busy(flash);
}

void write_status(Flash &flash, std::uint32_t command, std::uint32_t count)
{
    const Chip &chip = chip_of(flash);
    const auto keep_busy_bits = [](std::uint8_t old, std::uint8_t value, std::uint8_t writable) {
        return static_cast<std::uint8_t>((old & ~writable) | (value & writable));
    };
    const std::uint8_t first = flash.argument1.load(relaxed);
    if (command == 0x01) {
        flash.status1.store(
            keep_busy_bits(flash.status1.load(relaxed), first, chip.writable_status_1), relaxed);
        if (count >= 3 && chip.has_status_2_3)
            flash.status2.store(flash.argument2.load(relaxed) & 0x43, relaxed);
    } else if (command == 0x31) {
        flash.status2.store(first & 0x43, relaxed);
    } else {
        flash.status3.store(first & 0x64, relaxed);
    }
    start_busy(flash);
}

// CS rose: a command that changes the chip takes effect now, when it came
// whole.
void finish(const ParallelPort &port, Flash &flash)
{
    const std::uint32_t command = flash.command.load(relaxed);
    const std::uint32_t count = flash.bytes.load(relaxed);
    const bool whole = flash.bits_in.load(relaxed) == 0;
    flash.selected.store(0, relaxed);
    if (!whole || command == no_command)
        return;
    const bool enabled = (flash.status1.load(relaxed) & status_write_enabled) != 0;
    const std::uint32_t address = flash.address.load(relaxed);
    switch (command) {
    case 0x06:
        if (count == 1)
            flash.status1.fetch_or(status_write_enabled, relaxed);
        break;
    case 0x04:
        if (count == 1)
            flash.status1.fetch_and(static_cast<std::uint8_t>(~status_write_enabled), relaxed);
        break;
    case 0x01:
    case 0x31:
    case 0x11:
        if (enabled && count >= 2)
            write_status(flash, command, count);
        break;
    case 0x02:
        if (enabled && count >= 5)
            program(port, flash);
        break;
    case 0x20:
        if (enabled && count == 4)
            erase(port, flash, address, 4U << 10);
        break;
    case 0x52:
        if (enabled && count == 4)
            erase(port, flash, address, 32U << 10);
        break;
    case 0xD8:
        if (enabled && count == 4)
            erase(port, flash, address, 64U << 10);
        break;
    case 0x60:
    case 0xC7:
        if (enabled && count == 1)
            erase(port, flash, 0, chip_of(flash).size);
        break;
    case 0xB9:
        if (count == 1)
            flash.powered_down.store(1, relaxed);
        break;
    case 0xAB:
        flash.powered_down.store(0, relaxed);
        break;
    default:
        break;
    }
}

void lines_changed(const ParallelPort &port, PortLines before, PortLines now)
{
    auto &flash = port.peripheral<Flash>();
    const Wiring &wiring = wiring_of(flash);
    const bool selected = powered(wiring, now) && !line(now.data, wiring.cs);
    if (flash.selected.load(relaxed) == 0) {
        if (!selected)
            return;
        // CS fell: a new command, MISO floating (high) until the chip drives it.
        flash.selected.store(1, relaxed);
        flash.bits_in.store(0, relaxed);
        flash.bytes.store(0, relaxed);
        flash.command.store(no_command, relaxed);
        flash.out.store(0xFF, relaxed);
        flash.load_next.store(0, relaxed);
        return;
    }
    if (!selected) {
        finish(port, flash);
        return;
    }
    const bool was_high = line(before.data, wiring.sck);
    const bool high = line(now.data, wiring.sck);
    if (!was_high && high) {
        const auto in = static_cast<std::uint8_t>((flash.shift_in.load(relaxed) << 1) |
                                                  (line(now.data, wiring.mosi) ? 1 : 0));
        const unsigned bits = flash.bits_in.load(relaxed) + 1U;
        if (bits < 8) {
            flash.shift_in.store(in, relaxed);
            flash.bits_in.store(static_cast<std::uint8_t>(bits), relaxed);
            return;
        }
        flash.shift_in.store(0, relaxed);
        flash.bits_in.store(0, relaxed);
        flash.out_next.store(take_byte(port, flash, in), relaxed);
        flash.load_next.store(1, relaxed);
    } else if (was_high && !high) {
        if (flash.load_next.exchange(0, relaxed) != 0)
            flash.out.store(flash.out_next.load(relaxed), relaxed);
        else
            flash.out.store(static_cast<std::uint8_t>(flash.out.load(relaxed) << 1 | 1), relaxed);
    }
}

std::uint8_t status(const ParallelPort &port, PortLines now, bool /*peek*/)
{
    const auto &flash = port.peripheral<Flash>();
    const Wiring &wiring = wiring_of(flash);
    // MISO floats high while the chip is not selected; the DLC5's buffer
    // pulls it low while it is unpowered.
    bool miso = true;
    if (!powered(wiring, now))
        miso = wiring.enable != Enable::data_bit_4;
    else if (flash.selected.load(relaxed) != 0)
        miso = (flash.out.load(relaxed) & 0x80) != 0;
    // The other lines idle: nAck, PaperOut, Select and nError high, Busy low.
    std::uint8_t value = 0xF8;
    const auto bit = static_cast<std::uint8_t>(1U << wiring.miso);
    const bool register_bit = wiring.miso == 7 ? !miso : miso;
    return register_bit ? static_cast<std::uint8_t>(value | bit)
                        : static_cast<std::uint8_t>(value & ~bit);
}

void reset(const ParallelPort &port)
{
    // Power-on: the transaction, WEL and a program under way are gone; the
    // non-volatile status bits, the chip and the wiring are kept.
    auto &flash = port.peripheral<Flash>();
    flash.selected.store(0, relaxed);
    flash.bits_in.store(0, relaxed);
    flash.load_next.store(0, relaxed);
    flash.busy_reads_left.store(0, relaxed);
    flash.powered_down.store(0, relaxed);
    flash.status1.fetch_and(static_cast<std::uint8_t>(~(status_write_enabled | status_busy)),
                            relaxed);
}

std::string command_name(std::uint32_t stored)
{
    return stored == 0 ? std::string("none") : hex_text(stored - 1, 2);
}

void describe(const ParallelPort &port, Properties &properties)
{
    auto &flash = port.peripheral<Flash>();
    const Chip &chip = chip_of(flash);
    const MemoryNeed need = need_of(port, flash);
    properties.add("chip", chip.name);
    properties.add("wiring", wiring_of(flash).name);
    properties.add("jedec-id", hex_text(chip.jedec_id[0], 2) + " " +
                                   hex_text(chip.jedec_id[1], 2).substr(2) + " " +
                                   hex_text(chip.jedec_id[2], 2).substr(2));
    properties.add("size", decimal_text(chip.size));
    properties.add("memory", std::string_view(need.name, ::strnlen(need.name, sizeof need.name)));
    std::uint8_t status1 = flash.status1.load(relaxed);
    if (busy(flash))
        status1 |= status_busy;
    properties.add("status", hex_text(status1, 2));
    if (chip.has_status_2_3) {
        properties.add("status2", hex_text(flash.status2.load(relaxed), 2));
        properties.add("status3", hex_text(flash.status3.load(relaxed), 2));
    }
    const Range range = protected_range(chip, status1);
    properties.add("protected", range.end == range.first
                                    ? std::string("none")
                                    : hex_text(range.first, 6) + "-" + hex_text(range.end - 1, 6));
    properties.add("busy-reads", decimal_text(busy_reads(flash)));
    properties.add("selected", flash.selected.load(relaxed) != 0 ? "yes" : "no");
    properties.add("last-command", command_name(flash.last_command.load(relaxed)));
    properties.add("programmed-pages", decimal_text(flash.programmed_pages.load(relaxed)));
    properties.add("erases", decimal_text(flash.erases.load(relaxed)));
}

template <std::size_t Count, typename Entry>
int choose(const std::array<Entry, Count> &entries, std::string_view value,
           std::atomic<std::uint8_t> &index)
{
    for (std::size_t i = 0; i < Count; ++i) {
        if (entries[i].name == value) {
            index.store(static_cast<std::uint8_t>(i), relaxed);
            return 0;
        }
    }
    return EINVAL;
}

int set(const ParallelPort &port, std::string_view key, std::string_view value)
{
    auto &flash = port.peripheral<Flash>();
    if (key == "chip") {
        const int error = choose(chips, value, flash.chip);
        if (error == 0)
            memory(port, flash); // a refused memory file is told now
        return error;
    }
    if (key == "wiring")
        return choose(wirings, value, flash.wiring);
    if (key == "busy-reads") {
        std::uint32_t reads = 0;
        if (!parse_number(value, reads))
            return EINVAL;
        flash.busy_reads_flipped.store(reads ^ default_busy_reads, relaxed);
        return 0;
    }
    return ENOENT;
}

template <std::size_t Count, typename Entry>
std::string names_of(const std::array<Entry, Count> &entries)
{
    std::string names;
    for (const Entry &entry : entries)
        names += (names.empty() ? "" : ", ") + std::string(entry.name);
    return names;
}

std::string choices(std::string_view key)
{
    if (key == "chip")
        return names_of(chips);
    if (key == "wiring")
        return names_of(wirings);
    if (key == "busy-reads")
        return "a number of status reads";
    return {};
}

bool memory_need(const ParallelPort &port, MemoryNeed &need)
{
    need = need_of(port, port.peripheral<Flash>());
    return true;
}

} // namespace

extern const PeripheralType spi_flash_peripheral{
    .device = QPORT_SIM_DEVICE_SPI_FLASH,
    .name = "spi-flash",
    .summary = "a 25-series SPI flash (W25Q80) on a rayer_spi cable",
    .state = state_layout<Flash>(1),
    .lines_changed = lines_changed,
    .status = status,
    .reset = reset,
    .describe = describe,
    .set = set,
    .memory = memory_need,
    .choices = choices,
    .keys = "chip, wiring, busy-reads",
};

} // namespace qport::sim
