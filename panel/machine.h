// SPDX-License-Identifier: LGPL-2.1-or-later
// The simulated PC as the panel sees it, through qport_sim.h alone. Every
// look is a peek or a property: nothing here is recorded as a transfer or
// moves a device on, so the programs driving the machine pay nothing for it.
#ifndef QPORT_PANEL_MACHINE_H
#define QPORT_PANEL_MACHINE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pins.h"
#include "qport_sim.h"

namespace panel {

// One device of the machine with its properties, in the order it gives them.
struct Device {
    std::string name; // "lpt1"
    std::string type; // "parallel-port"
    std::uint16_t firstPort = 0;
    std::uint16_t portCount = 0; // 0 while disabled
    std::vector<std::pair<std::string, std::string>> properties;
    // The property's value, or "" when the device has none of that name.
    std::string property(std::string_view key) const;
    bool operator==(const Device &) const = default;
};

namespace machine {

// Whether the libqport.so.1 loaded is the simulated build: the hardware
// build has no qport_sim_* functions (the panel binds them weakly).
bool simulatedBuild();

// False when a QPORT_SIM_ variable named a profile, peripheral, setting or
// refusal the simulated PC lacks (the library said which on standard error).
bool environmentUnderstood();

// Acts on the shared machine in path, creating it when missing. "" on
// success, else why not (the library has said so on standard error too).
std::string use(const char *path);
// The shared machine's path, or "" for the process's own port space.
std::string path();

std::vector<Device> devices();
// The parallel port's registers at base, peeked.
Registers peekRegisters(std::uint16_t base);

// The transfers recorded, oldest first, into buffer (reused across calls).
void transfers(std::vector<qport_sim_transfer> &buffer);

void reset();
// How many times programs reset the PC (0xFE to 0x64, 0xCF9), and why last.
std::uint32_t resetCount();
std::string lastResetCause();
std::vector<std::string> peripheralNames();
std::vector<std::string> profileNames();
std::string currentProfile();
// 0, or an errno.
int setProfile(const std::string &name);
int setProperty(const char *device, const char *key, const std::string &value);

} // namespace machine
} // namespace panel

#endif
