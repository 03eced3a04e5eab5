// SPDX-License-Identifier: LGPL-2.1-or-later
// What a machine file's slots mean to a build, as one number: a file laid
// out by a build whose number differs is refused rather than misread.
#include "device.h"
#include "parallel_port.h"

namespace qport::sim {

namespace {

// FNV-1a, over each name and a separator after it, and each number's bytes.
class Fingerprint {
public:
    void add(std::string_view text)
    {
        for (const char c : text)
            add_byte(static_cast<unsigned char>(c));
        add_byte(0);
    }
    void add(std::uint32_t number)
    {
        for (unsigned shift = 0; shift < 32; shift += 8)
            add_byte(static_cast<unsigned char>(number >> shift));
    }
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

std::uint64_t layout_fingerprint(std::span<const DeviceType *const> types,
                                 std::span<const PeripheralType *const> peripherals,
                                 std::span<const Profile> profiles)
{
    Fingerprint fingerprint;
    for (const DeviceType *type : types) {
        fingerprint.add(type->name);
        fingerprint.add(type->port_count);
        fingerprint.add(type->second_port_count);
        fingerprint.add(type->state.size);
        fingerprint.add(type->state.version);
    }
    for (const PeripheralType *peripheral : peripherals) {
        fingerprint.add(peripheral->name);
        fingerprint.add(static_cast<std::uint32_t>(peripheral->device));
        fingerprint.add(peripheral->state.size);
        fingerprint.add(peripheral->state.version);
    }
    for (const Profile &profile : profiles) {
        fingerprint.add(profile.name);
        for (const ProfileDevice &device : profile.devices) {
            fingerprint.add(device.name);
            fingerprint.add(device.type->name);
            fingerprint.add(device.base);
            fingerprint.add(device.second_base);
        }
    }
    return fingerprint.value();
}

} // namespace qport::sim
