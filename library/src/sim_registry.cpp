// SPDX-License-Identifier: LGPL-2.1-or-later
// The one list of the simulated PC's device types, and the machines
// (profiles) built from them. A device added to the simulator is a source
// file defining its DeviceType, a line here, and its place in a profile.
#include <array>

#include "sim_device.h"

namespace qport::sim {

extern const DeviceType parallel_port_device;
extern const DeviceType post_code_device;
extern const DeviceType superio_device;
extern const DeviceType rtc_device;

namespace {

constexpr std::array<const DeviceType *, 4> types{
    &parallel_port_device,
    &post_code_device,
    &superio_device,
    &rtc_device,
};

// A PC as real tools expect to find one.
constexpr std::array pc_devices{
    ProfileDevice{"lpt1", &parallel_port_device, 0x378},
    ProfileDevice{"rtc", &rtc_device, 0x70},
    ProfileDevice{"post", &post_code_device, 0x80},
    // Its parallel port's registers decode lpt1 at 0x378, as at reset.
    ProfileDevice{"superio", &superio_device, 0x2E},
};

// The first parallel port alone.
constexpr std::array bare_devices{
    ProfileDevice{"lpt1", &parallel_port_device, 0x378},
};

constexpr std::array machines{
    Profile{"pc", "a PC's standard devices and a parallel port", pc_devices},
    Profile{"bare", "the parallel port at 0x378 alone; every other port unbacked", bare_devices},
};

} // namespace

std::span<const DeviceType *const> device_types() { return types; }

const DeviceType *find_device_type(std::string_view name)
{
    for (const DeviceType *type : types) {
        if (type->name == name)
            return type;
    }
    return nullptr;
}

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

} // namespace qport::sim
