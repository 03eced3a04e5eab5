// SPDX-License-Identifier: LGPL-2.1-or-later
// Reading what the kernel tells about parallel ports: the parport driver's
// entries in /proc/sys/dev/parport, the devices ppdev makes for them, and the
// PCI devices in sysfs.
#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "qport_parport.h"

namespace qport::parport {
namespace {

namespace fs = std::filesystem;

// ppdev's character devices.
constexpr unsigned ppdev_major = 99;
// The EPP registers follow control: the address at base + 3, the data at
// base + 4 to base + 7.
constexpr unsigned last_epp_offset = 7;
constexpr unsigned control_offset = 2;

bool is_ppdev(const struct stat &status)
{
    return S_ISCHR(status.st_mode) && ::major(status.st_rdev) == ppdev_major;
}

// Whether modes, as "PCSPP,TRISTATE,COMPAT,EPP,ECP", lists mode.
bool lists_mode(const std::string &modes, std::string_view mode)
{
    std::istringstream list(modes);
    for (std::string each; std::getline(list, each, ',');) {
        if (each == mode)
            return true;
    }
    return false;
}

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

bool Port::bidirectional() const { return lists_mode(modes, "TRISTATE"); }

bool Port::has_epp() const
{
    // Registers past the last port would be none the processor reaches.
    return lists_mode(modes, "EPP") && base <= 0xFFFF - last_epp_offset;
}

std::uint16_t Port::last_register() const
{
    return static_cast<std::uint16_t>(base + (has_epp() ? last_epp_offset : control_offset));
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

int open_ppdev(const std::string &path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !is_ppdev(status))
        return -1;
    // Non-blocking: an EPP transfer then returns when the peripheral stops
    // answering, where ppdev would otherwise try again without end.
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &status) != 0 || !is_ppdev(status)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::vector<OpenedPort> open_reachable_ports(const std::string &root, DeviceOpener open)
{
    std::vector<OpenedPort> opened;
    for (const Port &port : find_ports(root)) {
        std::string path = device_path(root, port.number);
        const int fd = open(path);
        if (fd >= 0)
            opened.push_back({port, std::move(path), fd});
    }
    return opened;
}

bool route_covers(bool has_epp, unsigned offset, unsigned bytes)
{
    constexpr unsigned epp_address_offset = 3;
    constexpr unsigned first_epp_data_offset = 4;
    if (bytes == 1 && offset <= control_offset)
        return true;
    if (!has_epp)
        return false;
    if (offset == epp_address_offset)
        return bytes == 1;
    return (bytes == 1 || bytes == 2 || bytes == 4) && offset >= first_epp_data_offset &&
           offset + bytes <= last_epp_offset + 1;
}

Access with_route(const Access &direct, bool port_opened)
{
    if (!port_opened)
        return direct;
    switch (direct.cause) {
    case QPORT_ACCESS_NO_PRIVILEGE:
    case QPORT_ACCESS_USER_NAMESPACE:
    case QPORT_ACCESS_LOCKDOWN:
    case QPORT_ACCESS_NO_KERNEL_SUPPORT:
    case QPORT_ACCESS_OTHER:
        return {QPORT_ACCESS_PARPORT_ONLY, direct.error, direct.cause};
    case QPORT_ACCESS_GRANTED:
    case QPORT_ACCESS_NOT_X86: // no port space, so no parallel port either
    case QPORT_ACCESS_DROPPED:
    case QPORT_ACCESS_PARPORT_ONLY:
        break;
    }
    return direct;
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
