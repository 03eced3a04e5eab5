// SPDX-License-Identifier: LGPL-2.1-or-later
// Devices that programs add to the machine (qport_sim_attach_device,
// qport_sim_serve_ports): what the attached and the served device types
// share. Each takes a free slot of the machine for its ports, all of them
// or none, and keeps in it a token that names this one device among all
// that ever held the slot, and the process that added it.
#ifndef QPORT_SIM_USER_DEVICES_H
#define QPORT_SIM_USER_DEVICES_H

#include <atomic>
#include <cstdint>
#include <string_view>

#include "device.h"

namespace qport::sim {

struct UserDeviceState {
    std::atomic<std::uint64_t> token; // nonzero while the device is there
    std::atomic<std::int32_t> process;
};

// A random nonzero token.
std::uint64_t new_device_token();

// Takes a free slot for a device of type on count ports from first_port,
// named "<prefix>-<first port in hex>", with token, its ports not yet
// claimed (and its count 0 until they are). Devices of these types whose process has ended are
// removed first, on those ports. Returns the slot, or null with errno EBUSY (a port is taken) or
// ENOSPC.
DeviceSlot *take_slot(Machine &machine, const DeviceType &type, std::string_view prefix,
                      std::uint16_t first_port, std::uint16_t count, std::uint64_t token);
// Claims count ports of the slot taken, or none: then frees the slot and
// returns false with errno EBUSY.
bool claim_slot_ports(Machine &machine, DeviceSlot &slot, std::uint16_t count);
// Removes it, if the slot still holds the device with token.
bool remove_user_device(Machine &machine, DeviceSlot &slot, std::uint64_t token);

extern const DeviceType attached_device;
extern const DeviceType served_device;

} // namespace qport::sim

#endif
