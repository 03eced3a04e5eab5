// SPDX-License-Identifier: LGPL-2.1-or-later
// The raw register view of a parallel port on top of ppdev's requests.
#include <algorithm>
#include <cerrno>
#include <functional>
#include <optional>

#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include "qport_parport.h"

namespace qport::parport {
namespace {

constexpr std::uint8_t status_epp_timeout = 0x01;
constexpr unsigned epp_address_offset = 3;
constexpr unsigned first_epp_data_offset = 4;
constexpr unsigned last_epp_data_offset = 7;
// What a cycle the peripheral did not answer leaves in a read: no one drives
// the lines.
constexpr std::uint8_t unanswered = 0xFF;

} // namespace

Registers::Registers(Device &device, const Port &port)
    : device_(device), interrupt_enabled_(port.irq >= 0), bidirectional_(port.bidirectional()),
      has_epp_(port.has_epp())
{}

bool Registers::read(unsigned offset, std::uint8_t &value)
{
    switch (offset) {
    case 0:
        return settle_lines() && device_.request(PPRDATA, &value) == 0;
    case 1:
        if (device_.request(PPRSTATUS, &value) != 0)
            return false;
        if (epp_timed_out_.exchange(false))
            value |= status_epp_timeout;
        return true;
    case 2: {
        // ppdev gives the four lines from the driver's copy of the register;
        // the rest is what the driver wrote there (it enables the interrupt
        // when it claims a port that has one) and the unwired bits.
        std::uint8_t lines = 0;
        if (!settle_lines() || device_.request(PPRCONTROL, &lines) != 0)
            return false;
        value = static_cast<std::uint8_t>((lines & control_lines) |
                                          (interrupt_enabled_ ? control_interrupt : 0) |
                                          (reverse_ ? control_reverse : 0) | control_unwired);
        return true;
    }
    case epp_address_offset:
        return has_epp_ && epp_read(true, {&value, 1});
    default:
        if (offset >= first_epp_data_offset && offset <= last_epp_data_offset)
            return read_epp_data({&value, 1});
        return false;
    }
}

bool Registers::write(unsigned offset, std::uint8_t value)
{
    switch (offset) {
    case 0:
        return settle_lines() && device_.request(PPWDATA, &value) == 0;
    case 1:
        epp_timed_out_ = false;
        return true;
    case 2: {
        if (!settle_lines())
            return false;
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
        if (device_.request(PPWCONTROL, &lines) != 0)
            return false;
        lines_ = lines;
        return true;
    }
    case epp_address_offset:
        return has_epp_ && epp_write(true, {&value, 1});
    default:
        if (offset >= first_epp_data_offset && offset <= last_epp_data_offset)
            return write_epp_data({&value, 1});
        return false;
    }
}

bool Registers::read_epp_data(std::span<std::uint8_t> bytes)
{
    return has_epp_ && epp_read(false, bytes);
}

bool Registers::write_epp_data(std::span<const std::uint8_t> bytes)
{
    return has_epp_ && epp_write(false, bytes);
}

bool Registers::epp_read(bool address, std::span<std::uint8_t> bytes)
{
    const auto made = in_epp_mode(address, bytes.size(),
                                  [&] { return device_.read(bytes.data(), bytes.size()); });
    if (!made)
        return false;
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(*made), bytes.end(), unanswered);
    return true;
}

bool Registers::epp_write(bool address, std::span<const std::uint8_t> bytes)
{
    return in_epp_mode(address, bytes.size(),
                       [&] { return device_.write(bytes.data(), bytes.size()); })
        .has_value();
}

std::optional<std::size_t> Registers::in_epp_mode(bool address, std::size_t size,
                                                  const std::function<ssize_t()> &transfer)
{
    // The kernel may change the lines: what the program set must be known
    // to be put back.
    if (!lines_) {
        std::uint8_t lines = 0;
        if (device_.request(PPRCONTROL, &lines) != 0)
            return std::nullopt;
        lines_ = lines & control_lines;
    }
    int mode = IEEE1284_MODE_EPP | (address ? IEEE1284_ADDR : 0);
    if (device_.request(PPSETMODE, &mode) != 0)
        return std::nullopt;
    lines_unsettled_ = true;
    const ssize_t done = transfer();
    const int error = errno;
    int compatibility = IEEE1284_MODE_COMPAT;
    if (device_.request(PPSETMODE, &compatibility) != 0)
        return std::nullopt;
    // A non-blocking read that got nothing at all fails with EAGAIN; any
    // other failure is a failed request.
    if (done < 0 && error != EAGAIN) {
        errno = error;
        return std::nullopt;
    }
    const std::size_t made = done < 0 ? 0 : static_cast<std::size_t>(done);
    if (made < size)
        epp_timed_out_ = true;
    return made;
}

bool Registers::settle_lines()
{
    if (!lines_unsettled_)
        return true;
    std::uint8_t lines = lines_.value_or(0);
    if (device_.request(PPWCONTROL, &lines) != 0)
        return false;
    if (bidirectional_) {
        int direction = reverse_ ? 1 : 0;
        if (device_.request(PPDATADIR, &direction) != 0)
            return false;
    }
    lines_unsettled_ = false;
    return true;
}

} // namespace qport::parport
