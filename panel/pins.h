// SPDX-License-Identifier: LGPL-2.1-or-later
// The parallel port's 25-pin connector: which register bit each signal pin
// is, and the level of its line. The register is not the line: the control
// register inverts nStrobe, nAutoFeed and nSelectIn, and the status register
// inverts Busy.
#ifndef QPORT_PANEL_PINS_H
#define QPORT_PANEL_PINS_H

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace panel {

enum class Register : std::uint8_t { data, status, control };

struct Pin {
    int number;            // 1..17 on the DB-25
    std::string_view name; // "nStrobe", "D0"
    Register reg;          // data and control drive the line, status reads it
    std::uint8_t mask;     // the pin's bit in that register
    bool inverted;         // the register bit is the line's opposite
    bool isOutput() const { return reg != Register::status; }
};

// The 17 signal pins, by number; pins 18-25 are ground.
constexpr std::array<Pin, 17> signalPins{{
    {1, "nStrobe", Register::control, 0x01, true},
    {2, "D0", Register::data, 0x01, false},
    {3, "D1", Register::data, 0x02, false},
    {4, "D2", Register::data, 0x04, false},
    {5, "D3", Register::data, 0x08, false},
    {6, "D4", Register::data, 0x10, false},
    {7, "D5", Register::data, 0x20, false},
    {8, "D6", Register::data, 0x40, false},
    {9, "D7", Register::data, 0x80, false},
    {10, "nAck", Register::status, 0x40, false},
    {11, "Busy", Register::status, 0x80, true},
    {12, "PaperOut", Register::status, 0x20, false},
    {13, "Select", Register::status, 0x10, false},
    {14, "nAutoFeed", Register::control, 0x02, true},
    {15, "nError", Register::status, 0x08, false},
    {16, "nInit", Register::control, 0x04, false},
    {17, "nSelectIn", Register::control, 0x08, true},
}};
constexpr int connectorPins = 25;
constexpr int firstGroundPin = 18;

// The pin with that number, or none for a ground pin or one past 25.
std::optional<Pin> pinNumbered(int number);

// The three registers as read.
struct Registers {
    std::uint8_t data = 0;
    std::uint8_t status = 0;
    std::uint8_t control = 0;
    std::uint8_t value(Register reg) const;
    bool operator==(const Registers &) const = default;
};

// Whether the pin's line is high, from the register that holds it.
bool lineHigh(const Pin &pin, const Registers &registers);

// The register value that puts the pin's line at the level asked, every
// other bit kept.
std::uint8_t withLine(const Pin &pin, std::uint8_t value, bool high);

} // namespace panel

#endif
