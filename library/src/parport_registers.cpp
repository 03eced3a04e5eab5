// SPDX-License-Identifier: LGPL-2.1-or-later
// The raw register view of a parallel port on top of ppdev's requests.
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include "parport.h"

namespace qport::parport {

Registers::Registers(Device &device, const Port &port)
    : device_(device), interrupt_enabled_(port.irq >= 0), bidirectional_(port.bidirectional())
{}

bool Registers::read(unsigned offset, std::uint8_t &value)
{
    switch (offset) {
    case 0:
        return device_.request(PPRDATA, &value) == 0;
    case 1:
        return device_.request(PPRSTATUS, &value) == 0;
    case 2: {
        // ppdev gives the four lines from the driver's copy of the register;
        // the rest is what the driver wrote there (it enables the interrupt
        // when it claims a port that has one) and the unwired bits.
        std::uint8_t lines = 0;
        if (device_.request(PPRCONTROL, &lines) != 0)
            return false;
        value = static_cast<std::uint8_t>((lines & control_lines) |
                                          (interrupt_enabled_ ? control_interrupt : 0) |
                                          (reverse_ ? control_reverse : 0) | control_unwired);
        return true;
    }
    default:
        return false;
    }
}

bool Registers::write(unsigned offset, std::uint8_t value)
{
    switch (offset) {
    case 0:
        return device_.request(PPWDATA, &value) == 0;
    case 1:
        return true;
    case 2: {
        // A port that cannot turn its data lines around keeps them driven,
        // as its register keeps bit 5 clear.
        const bool reverse = bidirectional_ && (value & control_reverse) != 0;
        if (reverse != reverse_) {
            int direction = reverse ? 1 : 0;
            if (device_.request(PPDATADIR, &direction) != 0)
                return false;
            reverse_ = reverse;
        }
        // Only the lines: PPWCONTROL would take bit 5 as a request to
        // reverse, and the driver keeps the interrupt enable itself.
        std::uint8_t lines = value & control_lines;
        return device_.request(PPWCONTROL, &lines) == 0;
    }
    default:
        return false;
    }
}

} // namespace qport::parport
