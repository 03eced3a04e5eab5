// SPDX-License-Identifier: LGPL-2.1-or-later
// What the user is told about the parallel port reached without root.
#include <cstdio>

#include "qport_parport.h"

namespace qport::parport {
namespace {

std::string hex_port(unsigned port)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%03X", port);
    return text;
}

// U+2013, the en dash of a range.
std::string range(unsigned first, unsigned last)
{
    return hex_port(first) + "\u2013" + hex_port(last);
}

std::string range_of(const Reach &reach)
{
    return range(reach.base, reach.base + (reach.epp ? 7U : 2U));
}

// "lp0" is device 0 of the driver "lp", "ppdev0.1" one of ppdev's.
std::string driver_of(const std::string &holder)
{
    const auto end = holder.find_last_not_of("0123456789.");
    return end == std::string::npos ? holder : holder.substr(0, end + 1);
}

} // namespace

std::string reachable_text(const std::vector<Reach> &reach)
{
    std::string text;
    for (std::size_t i = 0; i < reach.size(); ++i) {
        if (i > 0)
            text += " and ";
        text +=
            (i == 0 ? "parallel port " : "") + range_of(reach[i]) + " through " + reach[i].device;
    }
    return text;
}

std::string partial_access_text(const std::vector<Reach> &reach)
{
    std::string epp_data;
    for (const Reach &each : reach) {
        if (each.epp)
            epp_data += (epp_data.empty() ? "" : " and ") + range(each.base + 4U, each.base + 7U);
    }
    if (epp_data.empty())
        return "Only the parallel port is reachable: 8-bit transfers on " + reachable_text(reach) +
               " go through the kernel's parport driver, which this user may use. Every other "
               "port, and every 16- or 32-bit transfer, is "
               "refused: " QPORT_REFUSED_TRANSFER_OUTCOME;
    return "Only the parallel port is reachable: 8-bit transfers on " + reachable_text(reach) +
           " go through the kernel's parport driver, which this user may use, and so do 16- "
           "and 32-bit transfers within the EPP data registers (" +
           epp_data +
           "), one EPP cycle a byte. Every other port, and every other 16- or 32-bit transfer, "
           "is refused: " QPORT_REFUSED_TRANSFER_OUTCOME;
}

std::string busy_text(const Reach &reach, const std::string &holder, unsigned waited_ms)
{
    const std::string driver = driver_of(holder);
    std::string who, how;
    if (driver == "lp") {
        who = "the kernel's printer driver lp (" + holder + ")";
        how = "Let the print job finish, or cancel it. To keep the printer driver off the "
              "port, unload it while the port is needed:\n    sudo modprobe -r lp\nand "
              "remove lp from /etc/modules so that it is not loaded at boot.";
    } else if (driver == "ppdev") {
        who = "another program, through " + reach.device;
        how = "Close that program; this shows which one it is:\n    fuser -v " + reach.device;
    } else {
        who = "the kernel driver " + driver + " (" + holder + ")";
        how = "Unload that driver while the port is needed:\n    sudo modprobe -r " + driver;
    }
    return "The parallel port " + range_of(reach) + " (" + reach.device + ") is held by " + who +
           ", which did not let go of it within " + std::to_string(waited_ms) +
           " ms.\n\nThis transfer was not made: a read returns -1 (all bits set), a write is "
           "dropped. The next transfer tries again.\n\n" +
           how;
}

} // namespace qport::parport
