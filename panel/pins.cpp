// SPDX-License-Identifier: LGPL-2.1-or-later
#include "pins.h"

#include <algorithm>

namespace panel {

std::optional<Pin> pinNumbered(int number)
{
    const auto *found = std::find_if(signalPins.begin(), signalPins.end(),
                                     [number](const Pin &pin) { return pin.number == number; });
    if (found == signalPins.end())
        return std::nullopt;
    return *found;
}

std::uint8_t Registers::value(Register reg) const
{
    switch (reg) {
    case Register::data:
        return data;
    case Register::status:
        return status;
    case Register::control:
        return control;
    }
    return 0;
}

bool lineHigh(const Pin &pin, const Registers &registers)
{
    const bool bitSet = (registers.value(pin.reg) & pin.mask) != 0;
    return bitSet != pin.inverted;
}

std::uint8_t withLine(const Pin &pin, std::uint8_t value, bool high)
{
    const bool bitSet = high != pin.inverted;
    return static_cast<std::uint8_t>(bitSet ? value | pin.mask : value & ~pin.mask);
}

} // namespace panel
