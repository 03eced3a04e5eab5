// SPDX-License-Identifier: LGPL-2.1-or-later
#include "parallel_ports.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qport_parport.h"

namespace qportio {
namespace {

using qport::parport::PciCard;
using qport::parport::Port;

std::string hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

std::string range(unsigned first, unsigned last) { return hex(first, 3) + "-" + hex(last, 3); }

std::string channel(int number) { return number < 0 ? "none" : std::to_string(number); }

std::string group_of(const struct stat &status)
{
    if (const group *entry = ::getgrgid(status.st_gid))
        return entry->gr_name;
    return std::to_string(status.st_gid);
}

// Whether this user may open the port's device, and if not, what to do.
std::string who_may_open(const std::string &path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return "no " + path + ": load ppdev ('sudo modprobe ppdev')";
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
        ::close(fd);
        return "this user may open " + path;
    }
    const int error = errno;
    std::string text = "this user may not open " + path + " (" + std::strerror(error) + ")";
    if (error == EACCES)
        text += ": it belongs to group " + group_of(status) + "; join it with 'sudo usermod -aG " +
                group_of(status) + " $USER' and log in again";
    return text;
}

std::string describe_port(const std::string &root, const Port &port)
{
    const std::string path = qport::parport::device_path(root, port.number);
    std::string text =
        "  parport" + std::to_string(port.number) + ": ports " + range(port.base, port.base + 2U);
    if (port.has_epp())
        text += ", EPP " + range(port.base + 3U, port.last_register());
    if (port.ecp_base != 0)
        text += ", ECP " + range(port.ecp_base, port.ecp_base + 2U);
    text += ", irq " + channel(port.irq) + ", dma " + channel(port.dma) + ", modes " +
            (port.modes.empty() ? "unknown" : port.modes) + "\n";
    text += "    held by " + (port.holder.empty() ? std::string("no driver") : port.holder) + "; " +
            who_may_open(path) + "\n";
    return text;
}

std::string describe_card(const PciCard &card)
{
    // The IDs as lspci writes them.
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", unsigned{card.vendor}, unsigned{card.device});
    std::string text = "  " + card.slot + " [" + ids + "] class " + hex(card.class_code, 6) + ", " +
                       (card.driver.empty() ? "no driver bound" : "driver " + card.driver) +
                       ": I/O ";
    if (card.io_ranges.empty())
        text += "none";
    for (std::size_t i = 0; i < card.io_ranges.size(); ++i)
        text += (i > 0 ? ", " : "") + range(card.io_ranges[i].first, card.io_ranges[i].last);
    return text + "\n";
}

} // namespace

std::string describe_parallel_ports(const std::string &root)
{
    std::string text = "Parallel ports (the kernel's parport driver):\n";
    const auto ports = qport::parport::find_ports(root);
    if (ports.empty())
        text += "  none: the parport driver knows no port (load it with 'sudo modprobe "
                "parport_pc ppdev')\n";
    for (const Port &port : ports)
        text += describe_port(root, port);

    text += "PCI parallel-port cards (class 0x0701):\n";
    const auto cards = qport::parport::find_pci_cards(root);
    if (cards.empty())
        text += "  none\n";
    for (const PciCard &card : cards)
        text += describe_card(card);
    return text;
}

} // namespace qportio
