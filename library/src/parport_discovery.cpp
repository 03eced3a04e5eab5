// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading what the kernel tells about parallel ports: the parport driver's
// entries in /proc/sys/dev/parport and the PCI devices in sysfs.
#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>

#include "parport.h"

namespace qport::parport {
namespace {

namespace fs = std::filesystem;

std::string first_line(const fs::path &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The digits that follow prefix in name, which must be nothing but them.
std::optional<unsigned> number_after(std::string_view name, std::string_view prefix)
{
    if (!name.starts_with(prefix) || name.size() == prefix.size())
        return std::nullopt;
    name.remove_prefix(prefix.size());
    unsigned number = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (error != std::errc() || end != name.data() + name.size())
        return std::nullopt;
    return number;
}

// A number as sysfs writes it: hex with 0x, or decimal.
std::optional<std::uint64_t> parse_number(std::string_view text)
{
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

int parse_channel(const std::string &text)
{
    // "-1" (none) or a number; anything unreadable counts as none.
    int value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && value >= 0 ? value : -1;
}

fs::path parport_dir(const std::string &root) { return fs::path(root + "/proc/sys/dev/parport"); }

std::optional<Port> read_port(const std::string &root, const fs::path &dir, unsigned number)
{
    // "888\t1912": the base and the ECP registers' base, in decimal. A base
    // outside the port space is not a port the processor's ports reach.
    std::istringstream addresses(first_line(dir / "base-addr"));
    unsigned long base = 0, ecp_base = 0;
    if (!(addresses >> base) || base == 0 || base > 0xFFFD)
        return std::nullopt;
    if (!(addresses >> ecp_base) || ecp_base > 0xFFFD)
        ecp_base = 0;
    Port port;
    port.number = number;
    port.base = static_cast<std::uint16_t>(base);
    port.ecp_base = static_cast<std::uint16_t>(ecp_base);
    port.irq = parse_channel(first_line(dir / "irq"));
    port.dma = parse_channel(first_line(dir / "dma"));
    port.modes = first_line(dir / "modes");
    port.holder = holder_of(root, number);
    return port;
}

} // namespace

bool Port::bidirectional() const
{
    std::istringstream list(modes);
    for (std::string mode; std::getline(list, mode, ',');) {
        if (mode == "TRISTATE")
            return true;
    }
    return false;
}

std::vector<Port> find_ports(const std::string &root)
{
    std::vector<Port> ports;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(parport_dir(root), error)) {
        const auto number = number_after(entry.path().filename().string(), "parport");
        if (!number)
            continue;
        if (auto port = read_port(root, entry.path(), *number))
            ports.push_back(*port);
    }
    std::sort(ports.begin(), ports.end(),
              [](const Port &a, const Port &b) { return a.number < b.number; });
    return ports;
}

std::string holder_of(const std::string &root, unsigned number)
{
    const std::string active =
        first_line(parport_dir(root) / ("parport" + std::to_string(number)) / "devices" / "active");
    return active == "none" ? "" : active;
}

std::string device_path(const std::string &root, unsigned number)
{
    return root + "/dev/parport" + std::to_string(number);
}

std::vector<PciCard> find_pci_cards(const std::string &root)
{
    constexpr std::uint64_t parallel_class = 0x0701;
    constexpr std::uint64_t io_resource = 0x100; // IORESOURCE_IO
    std::vector<PciCard> cards;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(root + "/sys/bus/pci/devices", error)) {
        const fs::path &dir = entry.path();
        const auto class_code = parse_number(first_line(dir / "class"));
        if (!class_code || *class_code >> 8 != parallel_class)
            continue;
        PciCard card;
        card.slot = dir.filename().string();
        card.class_code = static_cast<std::uint32_t>(*class_code);
        card.vendor =
            static_cast<std::uint16_t>(parse_number(first_line(dir / "vendor")).value_or(0));
        card.device =
            static_cast<std::uint16_t>(parse_number(first_line(dir / "device")).value_or(0));
        std::error_code no_driver;
        const fs::path driver = fs::read_symlink(dir / "driver", no_driver);
        if (!no_driver)
            card.driver = driver.filename().string();
        // One line per region: "0x000000000000e000 0x000000000000e007 0x0000000000040101".
        std::ifstream resources(dir / "resource");
        for (std::string line; std::getline(resources, line);) {
            std::istringstream fields(line);
            std::string first, last, flags;
            fields >> first >> last >> flags;
            const auto start = parse_number(first), end = parse_number(last),
                       kind = parse_number(flags);
            if (start && end && kind && (*kind & io_resource) && *end >= *start && *end <= 0xFFFF)
                card.io_ranges.push_back(
                    {static_cast<std::uint32_t>(*start), static_cast<std::uint32_t>(*end)});
        }
        cards.push_back(card);
    }
    std::sort(cards.begin(), cards.end(),
              [](const PciCard &a, const PciCard &b) { return a.slot < b.slot; });
    return cards;
}

} // namespace qport::parport
