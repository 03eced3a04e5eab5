// SPDX-License-Identifier: LGPL-2.1-or-later
// A JTAG target on the simulated parallel port, through a Xilinx DLC5
// (Parallel Cable III) cable: D0 TDI, D1 TCK, D2 TMS, D4 the cable's power
// (held high by the program), TDO on status bit 4 (pin 13, Select). Behind
// the cable, one device's test access port: the 16-state controller, an
// instruction register, BYPASS, IDCODE and a boundary-scan register, as a
// Xilinx XC3S200 has them.
#include <array>
#include <cerrno>
#include <string>

#include "parallel_port.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// The cable's lines on the data register.
constexpr std::uint8_t line_tdi = 0x01;
constexpr std::uint8_t line_tck = 0x02;
constexpr std::uint8_t line_tms = 0x04;
constexpr std::uint8_t line_power = 0x10;

// The XC3S200 as its BSDL describes it.
constexpr std::uint32_t default_idcode = 0x01414093;
constexpr unsigned instruction_bits = 6;
constexpr std::uint32_t ir_capture = 0x11; // INIT high, not yet configured; "01" at the end
constexpr unsigned boundary_bits = 599;
enum Instruction : std::uint32_t {
    extest = 0x00,
    sample_preload = 0x01,
    idcode = 0x09,
    bypass = 0x3F, // and every opcode the part does not know
};

// The controller's states, Test-Logic-Reset first so that zeroed memory is
// a controller after reset.
enum State : std::uint32_t {
    test_logic_reset,
    run_test_idle,
    select_dr_scan,
    capture_dr,
    shift_dr,
    exit1_dr,
    pause_dr,
    exit2_dr,
    update_dr,
    select_ir_scan,
    capture_ir,
    shift_ir,
    exit1_ir,
    pause_ir,
    exit2_ir,
    update_ir,
};

constexpr std::array<const char *, 16> state_names{
    "Test-Logic-Reset", "Run-Test/Idle",  "Select-DR-Scan", "Capture-DR",
    "Shift-DR",         "Exit1-DR",       "Pause-DR",       "Exit2-DR",
    "Update-DR",        "Select-IR-Scan", "Capture-IR",     "Shift-IR",
    "Exit1-IR",         "Pause-IR",       "Exit2-IR",       "Update-IR",
};

// The next state for TMS low and high (IEEE 1149.1, figure 6-1).
constexpr std::array<std::array<State, 2>, 16> next_state{{
    {run_test_idle, test_logic_reset}, // Test-Logic-Reset
    {run_test_idle, select_dr_scan},   // Run-Test/Idle
    {capture_dr, select_ir_scan},      // Select-DR-Scan
    {shift_dr, exit1_dr},              // Capture-DR
    {shift_dr, exit1_dr},              // Shift-DR
    {pause_dr, update_dr},             // Exit1-DR
    {pause_dr, exit2_dr},              // Pause-DR
    {shift_dr, update_dr},             // Exit2-DR
    {run_test_idle, select_dr_scan},   // Update-DR
    {capture_ir, test_logic_reset},    // Select-IR-Scan
    {shift_ir, exit1_ir},              // Capture-IR
    {shift_ir, exit1_ir},              // Shift-IR
    {pause_ir, update_ir},             // Exit1-IR
    {pause_ir, exit2_ir},              // Pause-IR
    {shift_ir, update_ir},             // Exit2-IR
    {run_test_idle, select_dr_scan},   // Update-IR
}};

// Everything a clock edge changes but the boundary-scan cells, in one word
// so that each edge is one compare-and-swap:
//   bits 0..3    the controller's state
//   bits 4..9    the instruction shift register
//   bits 10..15  the current instruction, XOR IDCODE (zero after reset)
//   bits 16..25  where the boundary-scan register's ring starts
//   bits 32..63  the IDCODE or BYPASS data shift register
struct Word {
    std::uint64_t packed;

    State state() const { return static_cast<State>(packed & 0xF); }
    std::uint32_t ir_shift() const { return (packed >> 4) & 0x3F; }
    std::uint32_t instruction() const { return ((packed >> 10) & 0x3F) ^ idcode; }
    // Always a cell: the field holds up to 1023, whatever a machine file
    // put there.
    std::uint32_t boundary_start() const { return ((packed >> 16) & 0x3FF) % boundary_bits; }
    std::uint32_t dr_shift() const { return static_cast<std::uint32_t>(packed >> 32); }

    void set(unsigned shift, std::uint64_t mask, std::uint64_t value)
    {
        packed = (packed & ~(mask << shift)) | ((value & mask) << shift);
    }
    void set_state(State state) { set(0, 0xF, state); }
    void set_ir_shift(std::uint32_t value) { set(4, 0x3F, value); }
    void set_instruction(std::uint32_t value) { set(10, 0x3F, value ^ idcode); }
    void set_boundary_start(std::uint32_t value) { set(16, 0x3FF, value); }
    void set_dr_shift(std::uint32_t value) { set(32, 0xFFFFFFFF, value); }
};

struct Tap {
    std::atomic<std::uint64_t> word;
    std::atomic<std::uint32_t> idcode_flipped; // IDCODE ^ default_idcode
    // The boundary-scan register as a ring: bit i of the register is
    // cell (start + i) % boundary_bits.
    std::atomic<std::uint8_t> boundary[boundary_bits];
};

enum class DataRegister { bypass, identification, boundary };

DataRegister selected_by(std::uint32_t instruction)
{
    switch (instruction) {
    case idcode:
        return DataRegister::identification;
    case extest:
    case sample_preload:
        return DataRegister::boundary;
    default:
        return DataRegister::bypass;
    }
}

std::uint32_t idcode_of(const Tap &tap)
{
    return tap.idcode_flipped.load(relaxed) ^ default_idcode;
}

// What one rising edge of TCK does: the current state's action (capture or
// shift), then the move TMS chooses, and the instruction taking effect as
// Update-IR (or Test-Logic-Reset) is entered.
struct Edge {
    Word word;
    bool captures_boundary = false;
    bool shifts_boundary = false;
};

Edge clocked(Word word, bool tms, bool tdi, std::uint32_t id)
{
    Edge edge{word};
    const DataRegister selected = selected_by(word.instruction());
    switch (word.state()) {
    case capture_dr:
        if (selected == DataRegister::boundary) {
            edge.captures_boundary = true;
            edge.word.set_boundary_start(0);
        } else {
            edge.word.set_dr_shift(selected == DataRegister::identification ? id : 0);
        }
        break;
    case shift_dr:
        if (selected == DataRegister::boundary) {
            edge.shifts_boundary = true;
            edge.word.set_boundary_start((word.boundary_start() + 1) % boundary_bits);
        } else {
            const unsigned length = selected == DataRegister::identification ? 32 : 1;
            edge.word.set_dr_shift((word.dr_shift() >> 1) | (std::uint32_t{tdi} << (length - 1)));
        }
        break;
    case capture_ir:
        edge.word.set_ir_shift(ir_capture);
        break;
    case shift_ir:
        edge.word.set_ir_shift((word.ir_shift() >> 1) |
                               (std::uint32_t{tdi} << (instruction_bits - 1)));
        break;
    default:
        break;
    }
    const State next = next_state[word.state()][tms ? 1 : 0];
    edge.word.set_state(next);
    if (next == update_ir)
        edge.word.set_instruction(edge.word.ir_shift());
    else if (next == test_logic_reset)
        edge.word.set_instruction(idcode);
    return edge;
}

void lines_changed(const ParallelPort &port, PortLines before, PortLines now)
{
    const bool rising = (before.data & line_tck) == 0 && (now.data & line_tck) != 0;
    if (!rising || (now.data & line_power) == 0)
        return;
    auto &tap = port.peripheral<Tap>();
    const bool tms = (now.data & line_tms) != 0;
    const bool tdi = (now.data & line_tdi) != 0;
    const std::uint32_t id = idcode_of(tap);
    std::uint64_t seen = tap.word.load();
    Edge edge;
    do {
        edge = clocked(Word{seen}, tms, tdi, id);
    } while (!tap.word.compare_exchange_weak(seen, edge.word.packed));
    if (edge.captures_boundary) {
        // The pins as the boundary cells see them: nothing drives them.
        for (auto &cell : tap.boundary)
            cell.store(0, relaxed);
    } else if (edge.shifts_boundary) {
        tap.boundary[Word{seen}.boundary_start()].store(tdi ? 1 : 0, relaxed);
    }
}

// TDO: the bit at the end of the register being shifted; otherwise the
// line floats and the cable's pull-up reads high, as with no cable powered.
bool tdo(const Tap &tap, std::uint8_t data)
{
    const Word word{tap.word.load()};
    if ((data & line_power) == 0)
        return true;
    switch (word.state()) {
    case shift_ir:
        return (word.ir_shift() & 1) != 0;
    case shift_dr:
        if (selected_by(word.instruction()) == DataRegister::boundary)
            return tap.boundary[word.boundary_start()].load(relaxed) != 0;
        return (word.dr_shift() & 1) != 0;
    default:
        return true;
    }
}

std::uint8_t status(const ParallelPort &port, PortLines now, bool /*peek*/)
{
    constexpr std::uint8_t other_lines = 0x68; // nAck, PaperOut, nError high; Busy low
    return other_lines | (tdo(port.peripheral<Tap>(), now.data) ? status_select : 0);
}

std::string instruction_name(std::uint32_t instruction)
{
    switch (instruction) {
    case extest:
        return "EXTEST";
    case sample_preload:
        return "SAMPLE/PRELOAD";
    case idcode:
        return "IDCODE";
    default:
        return instruction == bypass ? "BYPASS"
                                     : "BYPASS (unknown " + hex_text(instruction, 2) + ")";
    }
}

void describe(const ParallelPort &port, Properties &properties)
{
    auto &tap = port.peripheral<Tap>();
    const Word word{tap.word.load()};
    properties.add("tap-state", state_names[word.state()]);
    properties.add("instruction", instruction_name(word.instruction()));
    properties.add("idcode", hex_text(idcode_of(tap), 8));
    properties.add("ir-length", decimal_text(instruction_bits));
}

int set(const ParallelPort &port, std::string_view key, std::string_view value)
{
    if (key != "idcode")
        return ENOENT;
    std::uint32_t id = 0;
    // Bit 0 of every IDCODE is 1: it is how a chain tells IDCODE from BYPASS.
    if (!parse_number(value, id) || (id & 1) == 0)
        return EINVAL;
    port.peripheral<Tap>().idcode_flipped.store(id ^ default_idcode, relaxed);
    return 0;
}

void reset(const ParallelPort &port)
{
    // The controller after power-on; the IDCODE is the part's, kept.
    port.peripheral<Tap>().word.store(0);
}

} // namespace

extern const PeripheralType jtag_peripheral{
    .device = QPORT_SIM_DEVICE_JTAG,
    .name = "jtag",
    .summary = "a JTAG target (XC3S200) through a Xilinx DLC5 cable",
    .state = state_layout<Tap>(1),
    .lines_changed = lines_changed,
    .status = status,
    .reset = reset,
    .describe = describe,
    .set = set,
};

} // namespace qport::sim
