// SPDX-License-Identifier: LGPL-2.1-or-later
// A simulated device's properties as a map, for tests that read them.
#ifndef QPORT_TESTS_DEVICE_PROPERTIES_H
#define QPORT_TESTS_DEVICE_PROPERTIES_H

#include <map>
#include <string>

#include "qport_sim.h"

// The properties of device; result, when given, receives what
// qport_sim_device_properties returned.
inline std::map<std::string, std::string> device_properties(const char *device,
                                                            int *result = nullptr)
{
    std::map<std::string, std::string> properties;
    const int returned = qport_sim_device_properties(
        device,
        [](const char *key, const char *value, void *user_data) {
            (*static_cast<std::map<std::string, std::string> *>(user_data))[key] = value;
        },
        &properties);
    if (result != nullptr)
        *result = returned;
    return properties;
}

#endif
