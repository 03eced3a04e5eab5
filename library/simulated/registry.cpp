// SPDX-License-Identifier: LGPL-2.1-or-later
// The one list of the simulated PC's device types, and the machines
// (profiles) built from them. A device added to the simulator is a source
// file defining its DeviceType, a line here, and its place in a profile.
#include <array>

#include "device.h"
#include "parallel_port.h"

namespace qport::sim {

extern const DeviceType parallel_port_device;
extern const DeviceType post_code_device;
extern const DeviceType superio_device;
extern const DeviceType pci_device;
extern const DeviceType rtc_device;
extern const DeviceType keyboard_controller_device;
extern const DeviceType hardware_monitor_device;
extern const DeviceType embedded_controller_device;
// In no profile: put on a machine by QPORT_SIM_REPLAY (replay.cpp).
extern const DeviceType replay_device;
// Devices that programs add, never a profile (program_devices.h).
extern const DeviceType attached_device;
extern const DeviceType served_device;

namespace {

constexpr std::array types{
    &parallel_port_device,
    &post_code_device,
    &superio_device,
    &pci_device,
    &rtc_device,
    &replay_device,
    &attached_device,
    &served_device,
    &keyboard_controller_device,
    &hardware_monitor_device,
    &embedded_controller_device,
};

// A PC as real tools expect to find one.
constexpr std::array pc_devices{
    ProfileDevice{"lpt1", &parallel_port_device, 0x378},
    ProfileDevice{"rtc", &rtc_device, 0x70},
    ProfileDevice{"post", &post_code_device, 0x80},
    // The Super I/O's keyboard controller, where its registers decode it.
    ProfileDevice{"kbc", &keyboard_controller_device, 0x60, 0x64},
    ProfileDevice{"hwmon", &hardware_monitor_device, 0x290},
    ProfileDevice{"ec", &embedded_controller_device, 0x62, 0x66},
    // Its parallel port's registers decode lpt1 at 0x378, as at reset.
    ProfileDevice{"superio", &superio_device, 0x2E},
    // On the PCI card: where firmware put its BAR 0. Listed before pci,
    // whose reset reads it from here.
    ProfileDevice{"lpt2", &parallel_port_device, 0xD010},
    ProfileDevice{"pci", &pci_device, 0xCF8},
};

// The first parallel port alone.
constexpr std::array bare_devices{
    ProfileDevice{"lpt1", &parallel_port_device, 0x378},
};

constexpr std::array machines{
    Profile{"pc", "a PC's standard devices, a parallel port and a PCI parallel-port card",
            pc_devices},
    Profile{"bare", "the parallel port at 0x378 alone; every other port unbacked", bare_devices},
};

} // namespace

std::span<const DeviceType *const> device_types() { return types; }

std::span<const Profile> profiles() { return machines; }

const Profile *find_profile(std::string_view name)
{
    for (const Profile &profile : machines) {
        if (profile.name == name)
            return &profile;
    }
    return nullptr;
}

const Profile &default_profile() { return machines[0]; }

std::string profile_names()
{
    std::string names;
    for (const Profile &profile : machines)
        names += (names.empty() ? "" : ", ") + std::string(profile.name);
    return names;
}

std::uint64_t layout_fingerprint()
{
    return layout_fingerprint(types, peripheral_types(), machines);
}

} // namespace qport::sim
