// SPDX-License-Identifier: LGPL-2.1-or-later
#include "port_grant.h"

#include <cerrno>
#include <cstring>

#include <sys/mman.h>

namespace qport_run {
namespace {

constexpr std::size_t bitmap_bytes = port_count / 8;

std::uint64_t *new_bitmap()
{
    void *memory =
        ::mmap(nullptr, bitmap_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<std::uint64_t *>(memory);
}

constexpr char hex_digits[] = "0123456789abcdef";

std::size_t hex_length(unsigned long value)
{
    std::size_t length = 1;
    while (value >= 16) {
        value /= 16;
        ++length;
    }
    return length;
}

char *write_hex(char *out, unsigned long value)
{
    const std::size_t length = hex_length(value);
    for (std::size_t i = length; i > 0; --i) {
        out[i - 1] = hex_digits[value % 16];
        value /= 16;
    }
    return out + length;
}

// A hexadecimal number of at most four digits at the start of text, which
// it consumes.
std::optional<unsigned long> read_port(std::string_view &text)
{
    unsigned long value = 0;
    std::size_t digits = 0;
    while (digits < text.size() && digits < 5) {
        const char *digit = std::strchr(hex_digits, text[digits]);
        if (digit == nullptr || text[digits] == '\0')
            break;
        value = value * 16 + static_cast<unsigned long>(digit - hex_digits);
        ++digits;
    }
    if (digits == 0 || digits > 4)
        return std::nullopt;
    text.remove_prefix(digits);
    return value;
}

} // namespace

bool PortGrant::granted(unsigned long port) const
{
    return (bitmap_[port / 64] >> (port % 64) & 1U) != 0;
}

int PortGrant::ioperm(unsigned long from, unsigned long count, int turn_on)
{
    // The kernel's own argument check, before anything else.
    if (from + count <= from || from + count > port_count)
        return EINVAL;
    if (bitmap_ == nullptr) {
        // Nothing to take away from a thread that has no bitmap.
        if (turn_on == 0)
            return 0;
        bitmap_ = new_bitmap();
        if (bitmap_ == nullptr)
            return ENOMEM;
    }
    for (unsigned long port = from; port < from + count; ++port) {
        const std::uint64_t bit = std::uint64_t{1} << (port % 64);
        if (turn_on != 0)
            bitmap_[port / 64] |= bit;
        else
            bitmap_[port / 64] &= ~bit;
    }
    return 0;
}

int PortGrant::iopl(int level)
{
    // The kernel takes the level as unsigned: a negative one is too high.
    if (static_cast<unsigned>(level) > 3)
        return EINVAL;
    level_ = level;
    return 0;
}

bool PortGrant::allows(std::uint16_t port, unsigned width_bytes) const
{
    if (port + width_bytes > port_count)
        return false;
    if (level_ == 3)
        return true;
    if (bitmap_ == nullptr)
        return false;
    for (unsigned i = 0; i < width_bytes; ++i) {
        if (!granted(port + i))
            return false;
    }
    return true;
}

std::optional<PortGrant> PortGrant::duplicate() const
{
    PortGrant copy;
    copy.level_ = level_;
    if (bitmap_ != nullptr) {
        copy.bitmap_ = new_bitmap();
        if (copy.bitmap_ == nullptr)
            return std::nullopt;
        std::memcpy(copy.bitmap_, bitmap_, bitmap_bytes);
    }
    return copy;
}

void PortGrant::release()
{
    if (bitmap_ != nullptr)
        ::munmap(bitmap_, bitmap_bytes);
    bitmap_ = nullptr;
    level_ = 0;
}

template <typename Range> void PortGrant::for_each_range(Range range) const
{
    if (bitmap_ == nullptr)
        return;
    unsigned long port = 0;
    while (port < port_count) {
        if (!granted(port)) {
            ++port;
            continue;
        }
        const unsigned long from = port;
        while (port < port_count && granted(port))
            ++port;
        range(from, port - 1);
    }
}

std::size_t PortGrant::written() const
{
    std::size_t length = 1;
    for_each_range([&](unsigned long from, unsigned long to) {
        length += 1 + hex_length(from) + 1 + hex_length(to);
    });
    return length;
}

void PortGrant::write(char *out) const
{
    *out++ = static_cast<char>('0' + level_);
    char separator = ':';
    for_each_range([&](unsigned long from, unsigned long to) {
        *out++ = separator;
        separator = ',';
        out = write_hex(out, from);
        *out++ = '-';
        out = write_hex(out, to);
    });
    *out = '\0';
}

std::optional<PortGrant> PortGrant::parse(std::string_view text)
{
    if (text.empty() || text[0] < '0' || text[0] > '3')
        return std::nullopt;
    PortGrant grant;
    grant.level_ = text[0] - '0';
    text.remove_prefix(1);
    char separator = ':';
    while (!text.empty()) {
        if (text[0] != separator) {
            grant.release();
            return std::nullopt;
        }
        text.remove_prefix(1);
        separator = ',';
        const std::optional<unsigned long> from = read_port(text);
        const bool dash = from && !text.empty() && text[0] == '-';
        if (dash)
            text.remove_prefix(1);
        const std::optional<unsigned long> to = dash ? read_port(text) : std::nullopt;
        if (!to || *to < *from || grant.ioperm(*from, *to - *from + 1, 1) != 0) {
            grant.release();
            return std::nullopt;
        }
    }
    return grant;
}

} // namespace qport_run
