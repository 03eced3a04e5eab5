// SPDX-License-Identifier: LGPL-2.1-or-later
// The emulated PC's phase, as the host put it on the kernel command line.
// Shared by /init and the guest programs; header-only because /init is
// linked statically and without the programs' test framework.
#ifndef QPORT_GUEST_KERNEL_COMMAND_LINE_H
#define QPORT_GUEST_KERNEL_COMMAND_LINE_H

#include <fstream>
#include <string>

namespace guest {

// The qport.phase= value on the kernel command line, or "". Guest programs
// write the PCI configuration and ACPI registers of the machine they run on:
// only the emulated PC's kernel command line says that this machine is one
// to run them on.
inline std::string phase_on_kernel_command_line()
{
    std::ifstream command_line("/proc/cmdline");
    std::string word;
    const std::string key = "qport.phase=";
    while (command_line >> word) {
        if (word.rfind(key, 0) == 0)
            return word.substr(key.size());
    }
    return "";
}

} // namespace guest

#endif
