// SPDX-License-Identifier: LGPL-2.1-or-later
// A JTAG target on the simulated parallel port, through a Xilinx DLC5
// (Parallel Cable III) cable: D0 TDI, D1 TCK, D2 TMS, D4 the cable's power
// (held high by the program), TDO on status bit 4 (pin 13, Select). As on
// the real cable, D6 is wired straight back to Busy (pin 11) and PaperOut
// (pin 12), and nError reads high: how programs such as xc3sprog tell the
// cable from a ByteBlaster or an empty port. Behind
// the cable, one device's test access port: the 16-state controller, an
// instruction register, BYPASS, IDCODE and a boundary-scan register, as a
// Xilinx XC3S200 has them.
#include <array>
#include <cerrno>
#include <string>
#include <string_view>

#include "parallel_port.h"

namespace qport::sim {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// The cables: where each puts TDI, TCK, TMS, its power (or buffer enable)
// and nTRST on the data register, and whether TDO comes back on Select
// (the DLC5) or on Busy (the Wiggler, read inverted by the port).
struct Cable {
    std::string_view name;
    std::uint8_t tdi, tck, tms, power, not_trst;
    bool tdo_on_busy;
};
// The default first, so that a zeroed state is the DLC5. The Wiggler as
// openocd's parport driver wires it: nSRST on D0 goes nowhere here.
constexpr std::array<Cable, 2> cables{{
    {"dlc5", 0x01, 0x02, 0x04, 0x10, 0x00, false},
    {"wiggler", 0x08, 0x04, 0x02, 0x80, 0x10, true},
}};
constexpr std::uint8_t line_check = 0x40; // D6 on the DLC5, looped back to Busy and PaperOut

// The XC3S200 as its BSDL describes it.
constexpr std::uint32_t default_idcode = 0x01414093;
constexpr unsigned instruction_bits = 6;
// The instruction register captures INIT (bit 4) and DONE (bit 5), "01"
// at the end. INIT is high: the part is always ready for a configuration.
constexpr std::uint32_t ir_capture = 0x11;
constexpr std::uint32_t ir_capture_done = 0x20;
constexpr unsigned boundary_bits = 599;
// What the XC3S200 takes: its configuration length in bits, counted from
// the first bit shifted into CFG_IN (the dummy words included), and the
// sync word that must be among them.
constexpr std::uint32_t configuration_bits = 1047616;
constexpr std::uint32_t sync_word = 0xAA995566;
constexpr std::uint32_t fnv_basis = 0x811C9DC5;
constexpr std::uint32_t fnv_prime = 0x01000193;
enum Instruction : std::uint32_t {
    extest = 0x00,
    sample_preload = 0x01,
    cfg_in = 0x05,
    idcode = 0x09,
    jprogram = 0x0B,
    jstart = 0x0C,
    jshutdown = 0x0D,
    isc_enable = 0x10,
    isc_disable = 0x16,
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
    std::atomic<std::uint8_t> cable;           // index in cables
    // TDO as the part drives it: it changes on TCK's falling edge, so a
    // program that reads it with TCK high still sees the bit before the
    // rising edge. Zero is high, the line floating.
    std::atomic<std::uint8_t> tdo_low;
    // The configuration: the model keeps no frames, only what tells a
    // whole bitstream from another, and whether start-up ran.
    std::atomic<std::uint8_t> done;
    std::atomic<std::uint8_t> synced;         // the sync word came in
    std::atomic<std::uint32_t> received_bits; // into CFG_IN since JPROGRAM (saturating)
    std::atomic<std::uint32_t> last_32_bits;  // for the sync word
    std::atomic<std::uint32_t> checksum;      // FNV-1a of the bytes received
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

Edge clocked(Word word, bool tms, bool tdi, std::uint32_t id, bool done)
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
        edge.word.set_ir_shift(ir_capture | (done ? ir_capture_done : 0));
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

const Cable &cable_of(const Tap &tap) { return cables[tap.cable.load(relaxed) % cables.size()]; }

// What the part puts on TDO at a falling edge: the bit at the end of the
// register being shifted; otherwise the line floats and the cable's
// pull-up reads high.
bool tdo_driven(const Tap &tap)
{
    const Word word{tap.word.load()};
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

void latch_tdo(Tap &tap) { tap.tdo_low.store(tdo_driven(tap) ? 0 : 1, relaxed); }

// TDO as the cable reads it. With the cable unpowered its buffer is off and
// drives the status line low.
bool tdo(const Tap &tap, std::uint8_t data)
{
    return (data & cable_of(tap).power) != 0 && tap.tdo_low.load(relaxed) == 0;
}

void clear_configuration(Tap &tap)
{
    tap.done.store(0, relaxed);
    tap.synced.store(0, relaxed);
    tap.received_bits.store(0, relaxed);
    tap.last_32_bits.store(0, relaxed);
    tap.checksum.store(fnv_basis, relaxed);
}

// What a clock edge does to the configuration, as Xilinx's JTAG flow drives
// it: JPROGRAM clears it, CFG_IN takes the bitstream (each byte MSB first),
// and JSTART's clocks run start-up, which raises DONE only after a whole
// bitstream with its sync word.
void configure(Tap &tap, Word before, Word after, bool tdi)
{
    if (after.state() == update_ir && after.instruction() == jprogram) {
        clear_configuration(tap);
        return;
    }
    if (before.state() == shift_dr && before.instruction() == cfg_in) {
        const std::uint32_t bits = tap.received_bits.load(relaxed);
        if (bits == UINT32_MAX)
            return;
        tap.received_bits.store(bits + 1, relaxed);
        const std::uint32_t last = (tap.last_32_bits.load(relaxed) << 1) | (tdi ? 1 : 0);
        tap.last_32_bits.store(last, relaxed);
        if (last == sync_word)
            tap.synced.store(1, relaxed);
        if ((bits + 1) % 8 == 0) {
            const std::uint32_t checksum = (tap.checksum.load(relaxed) ^ (last & 0xFF)) * fnv_prime;
            tap.checksum.store(checksum, relaxed);
        }
        return;
    }
    if (before.state() == run_test_idle && before.instruction() == jstart &&
        tap.synced.load(relaxed) != 0 && tap.received_bits.load(relaxed) >= configuration_bits)
        tap.done.store(1, relaxed);
}

void lines_changed(const ParallelPort &port, PortLines before, PortLines now)
{
    auto &tap = port.peripheral<Tap>();
    const Cable &cable = cable_of(tap);
    if ((now.data & cable.power) == 0)
        return;
    if (cable.not_trst != 0 && (now.data & cable.not_trst) == 0) {
        // nTRST low holds the controller in Test-Logic-Reset.
        Word word{tap.word.load()};
        word.set_state(test_logic_reset);
        word.set_instruction(idcode);
        tap.word.store(word.packed);
        latch_tdo(tap);
        return;
    }
    if ((before.data & cable.tck) != 0 && (now.data & cable.tck) == 0) {
        latch_tdo(tap);
        return;
    }
    const bool rising = (before.data & cable.tck) == 0 && (now.data & cable.tck) != 0;
    if (!rising)
        return;
    const bool tms = (now.data & cable.tms) != 0;
    const bool tdi = (now.data & cable.tdi) != 0;
    const std::uint32_t id = idcode_of(tap);
    std::uint64_t seen = tap.word.load();
    Edge edge;
    do {
        edge = clocked(Word{seen}, tms, tdi, id, tap.done.load(relaxed) != 0);
    } while (!tap.word.compare_exchange_weak(seen, edge.word.packed));
    configure(tap, Word{seen}, edge.word, tdi);
    if (edge.captures_boundary) {
        // The pins as the boundary cells see them: nothing drives them.
        for (auto &cell : tap.boundary)
            cell.store(0, relaxed);
    } else if (edge.shifts_boundary) {
        tap.boundary[Word{seen}.boundary_start()].store(tdi ? 1 : 0, relaxed);
    }
}

std::uint8_t status(const ParallelPort &port, PortLines now, bool /*peek*/)
{
    const auto &tap = port.peripheral<Tap>();
    const bool out = tdo(tap, now.data);
    if (cable_of(tap).tdo_on_busy) // nAck, Select and nError high
        return static_cast<std::uint8_t>(status_not_ack | status_select | status_not_error |
                                         (out ? 0 : status_not_busy));
    // nAck and nError high; D6 on Busy (read inverted) and PaperOut.
    const std::uint8_t check = (now.data & line_check) != 0 ? status_paper_out : status_not_busy;
    return static_cast<std::uint8_t>(status_not_ack | status_not_error | check |
                                     (out ? status_select : 0));
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
    case cfg_in:
        return "CFG_IN";
    case jprogram:
        return "JPROGRAM";
    case jstart:
        return "JSTART";
    case jshutdown:
        return "JSHUTDOWN";
    case isc_enable:
        return "ISC_ENABLE";
    case isc_disable:
        return "ISC_DISABLE";
    default:
        return instruction == bypass ? "BYPASS"
                                     : "BYPASS (unknown " + hex_text(instruction, 2) + ")";
    }
}

void describe(const ParallelPort &port, Properties &properties)
{
    auto &tap = port.peripheral<Tap>();
    const Word word{tap.word.load()};
    properties.add("cable", cable_of(tap).name);
    properties.add("tap-state", state_names[word.state()]);
    properties.add("instruction", instruction_name(word.instruction()));
    properties.add("idcode", hex_text(idcode_of(tap), 8));
    properties.add("ir-length", decimal_text(instruction_bits));
    properties.add("done", tap.done.load(relaxed) != 0 ? "yes" : "no");
    properties.add("configuration-bits", decimal_text(tap.received_bits.load(relaxed)));
    properties.add("configuration-checksum", hex_text(tap.checksum.load(relaxed), 8));
}

int set(const ParallelPort &port, std::string_view key, std::string_view value)
{
    if (key == "cable") {
        for (std::size_t i = 0; i < cables.size(); ++i) {
            if (cables[i].name == value) {
                port.peripheral<Tap>().cable.store(static_cast<std::uint8_t>(i), relaxed);
                return 0;
            }
        }
        return EINVAL;
    }
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
    // The controller after power-on, unconfigured; the IDCODE and the
    // cable are kept.
    port.peripheral<Tap>().word.store(0);
    port.peripheral<Tap>().tdo_low.store(0, relaxed);
    clear_configuration(port.peripheral<Tap>());
}

std::string choices(std::string_view key)
{
    if (key == "idcode")
        return "a number with bit 0 set, as every IDCODE has it";
    if (key != "cable")
        return {};
    std::string names;
    for (const Cable &cable : cables)
        names += (names.empty() ? "" : ", ") + std::string(cable.name);
    return names;
}

} // namespace

extern const PeripheralType jtag_peripheral{
    .device = QPORT_SIM_DEVICE_JTAG,
    .name = "jtag",
    .summary = "a JTAG target (XC3S200) through a Xilinx DLC5 or a Wiggler cable",
    .state = state_layout<Tap>(2),
    .lines_changed = lines_changed,
    .status = status,
    .reset = reset,
    .describe = describe,
    .set = set,
    .choices = choices,
    .keys = "cable, idcode",
};

} // namespace qport::sim
