// SPDX-License-Identifier: LGPL-2.1-or-later
#include "machine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

// Bound weakly, so that the panel started against the hardware build (which
// lacks them) gets as far as saying so, rather than the loader stopping it.
// Every call to them is in this file.
#pragma weak qport_sim_use_machine
#pragma weak qport_sim_machine_path
#pragma weak qport_sim_list_devices
#pragma weak qport_sim_device_properties
#pragma weak qport_sim_peek
#pragma weak qport_sim_transfers
#pragma weak qport_sim_reset
#pragma weak qport_sim_device_name
#pragma weak qport_sim_profile_name
#pragma weak qport_sim_current_profile
#pragma weak qport_sim_set_profile
#pragma weak qport_sim_set_device_property
#pragma weak qport_sim_reset_count
#pragma weak qport_sim_last_reset_cause
#pragma weak qport_sim_environment_understood

namespace panel {

std::string Device::property(std::string_view key) const
{
    for (const auto &[propertyName, value] : properties)
        if (propertyName == key)
            return value;
    return {};
}

namespace machine {

bool simulatedBuild()
{
    // qport_backend, in both builds, is also the strong reference that
    // keeps libqport.so.1 needed (a linker dropping libraries that only
    // weak references use would otherwise drop it).
    return std::string_view(qport_backend()) == "simulated" && qport_sim_use_machine != nullptr &&
           qport_sim_machine_path != nullptr && qport_sim_list_devices != nullptr &&
           qport_sim_device_properties != nullptr && qport_sim_peek != nullptr &&
           qport_sim_transfers != nullptr && qport_sim_reset != nullptr &&
           qport_sim_device_name != nullptr && qport_sim_profile_name != nullptr &&
           qport_sim_current_profile != nullptr && qport_sim_set_profile != nullptr &&
           qport_sim_set_device_property != nullptr && qport_sim_reset_count != nullptr &&
           qport_sim_last_reset_cause != nullptr;
}

bool environmentUnderstood()
{
    // A library without the function reads no names it could misread.
    return qport_sim_environment_understood == nullptr || qport_sim_environment_understood() != 0;
}

std::string use(const char *machinePath)
{
    if (qport_sim_use_machine(machinePath) == 0)
        return {};
    return errno == EINVAL ? "not a machine file of this version" : std::string(strerror(errno));
}

std::uint32_t resetCount() { return qport_sim_reset_count(); }

std::string lastResetCause() { return qport_sim_last_reset_cause(); }

std::string path()
{
    const char *shared = qport_sim_machine_path();
    return shared == nullptr ? std::string() : std::string(shared);
}

std::vector<Device> devices()
{
    std::vector<qport_sim_device_info> infos(qport_sim_list_devices(nullptr, 0));
    infos.resize(qport_sim_list_devices(infos.data(), infos.size()));
    std::vector<Device> found;
    found.reserve(infos.size());
    for (const qport_sim_device_info &info : infos) {
        Device device{info.name, info.type, info.first_port, info.port_count, {}};
        qport_sim_device_properties(
            info.name,
            [](const char *key, const char *value, void *properties) {
                static_cast<std::vector<std::pair<std::string, std::string>> *>(properties)
                    ->emplace_back(key, value);
            },
            &device.properties);
        found.push_back(std::move(device));
    }
    return found;
}

Registers peekRegisters(std::uint16_t base)
{
    return {qport_sim_peek(base), qport_sim_peek(static_cast<std::uint16_t>(base + 1)),
            qport_sim_peek(static_cast<std::uint16_t>(base + 2))};
}

void transfers(std::vector<qport_sim_transfer> &buffer)
{
    buffer.resize(QPORT_SIM_RECORDS);
    const std::size_t recorded = qport_sim_transfers(buffer.data(), buffer.size());
    buffer.resize(std::min(recorded, buffer.size()));
}

void reset() { qport_sim_reset(); }

std::vector<std::string> peripheralNames()
{
    std::vector<std::string> names;
    for (int device = 0;; ++device) {
        const char *name = qport_sim_device_name(static_cast<qport_sim_device>(device));
        if (name == nullptr)
            return names;
        names.emplace_back(name);
    }
}

std::vector<std::string> profileNames()
{
    std::vector<std::string> names;
    for (unsigned index = 0; qport_sim_profile_name(index) != nullptr; ++index)
        names.emplace_back(qport_sim_profile_name(index));
    return names;
}

std::string currentProfile() { return qport_sim_current_profile(); }

int setProfile(const std::string &name)
{
    return qport_sim_set_profile(name.c_str()) == 0 ? 0 : errno;
}

int setProperty(const char *device, const char *key, const std::string &value)
{
    return qport_sim_set_device_property(device, key, value.c_str()) == 0 ? 0 : errno;
}

} // namespace machine
} // namespace panel
