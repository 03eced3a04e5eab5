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
// In no profile: put on a machine by QPORT_SIM_REPLAY (sim_replay.cpp).
extern const DeviceType replay_device;
// Devices that programs add, never a profile (sim_user_devices.h).
extern const DeviceType attached_device;
extern const DeviceType served_device;

namespace {

constexpr std::array types{
    &parallel_port_device, &post_code_device, &superio_device,  &pci_device,
    &rtc_device,           &replay_device,    &attached_device, &served_device,
};

// A PC as real tools expect to find one.
constexpr std::array pc_devices{
    ProfileDevice{"lpt1", &parallel_port_device, 0x378},
    ProfileDevice{"rtc", &rtc_device, 0x70},
    ProfileDevice{"post", &post_code_device, 0x80},
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

namespace {

// FNV-1a, over each name and a separator after it.
class Fingerprint {
public:
    void add(std::string_view text)
    {
        for (const char c : text)
            add_byte(static_cast<unsigned char>(c));
        add_byte(0);
    }
    void add(std::uint32_t number) { add(decimal_text(number)); }
    std::uint64_t value() const { return hash_; }

private:
    void add_byte(unsigned char byte)
    {
        hash_ ^= byte;
        hash_ *= 0x100000001B3U;
    }
    std::uint64_t hash_ = 0xCBF29CE484222325U;
};

} // namespace

std::uint64_t layout_fingerprint()
{
    Fingerprint fingerprint;
    for (const DeviceType *type : types) {
        fingerprint.add(type->name);
        fingerprint.add(type->port_count);
    }
    for (const PeripheralType *peripheral : peripheral_types()) {
        fingerprint.add(peripheral->name);
        fingerprint.add(static_cast<std::uint32_t>(peripheral->device));
    }
    for (const Profile &profile : machines) {
        fingerprint.add(profile.name);
        for (const ProfileDevice &device : profile.devices) {
            fingerprint.add(device.name);
            fingerprint.add(device.type->name);
            fingerprint.add(device.base);
        }
    }
    return fingerprint.value();
}

} // namespace qport::sim
