// SPDX-License-Identifier: LGPL-2.1-or-later
// The dynamic symbol table of each build: the eleven entry points under
// their typed names, the extension API, and nothing else.
#include <cstdio>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

std::set<std::string> exported_symbols(const std::string &library)
{
    std::set<std::string> symbols;
    const std::string command = "nm -D --defined-only --format=posix " + library;
    FILE *pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return symbols;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        const std::string entry(line);
        symbols.insert(entry.substr(0, entry.find(' ')));
    }
    ::pclose(pipe);
    return symbols;
}

const std::set<std::string> entry_points = {
    "_Z6inports",  "_Z7inportws", "_Z7inportbs", "_Z7outportsi", "_Z8outportwss", "_Z8outportbsc",
    "_Z7Messagev", "_Z6Error1v",  "_Z4inpbs",    "_Z4inpws",     "_Z5outpbsc",
};
const std::set<std::string> extension_api = {
    "qport_access_status",  "qport_direct_access_status", "qport_access_errno",
    "qport_access_message", "qport_set_presenter",        "qport_default_presenter",
    "qport_backend",        "qport_drop_access",          "qport_show_notice",
    "qport_parport_routes", "qport_parport_reaches",      "qport_drop_privileges",
};
const std::set<std::string> simulation_api = {
    "qport_sim_reset",
    "qport_sim_preset",
    "qport_sim_peek",
    "qport_sim_transfers",
    "qport_sim_trace_to",
    "qport_sim_clear_transfers",
    "qport_sim_refuse",
    // the shared machine, its devices and the choice of recording
    "qport_sim_record_transfers",
    "qport_sim_set_device",
    "qport_sim_current_device",
    "qport_sim_set_printer_output",
    "qport_sim_printed_bytes",
    "qport_sim_use_machine",
    "qport_sim_machine_path",
    "qport_sim_device_name",
    "qport_sim_profile_name",
    "qport_sim_current_profile",
    "qport_sim_set_profile",
    "qport_sim_list_devices",
    "qport_sim_device_properties",
    "qport_sim_set_device_property",
};

std::set<std::string> joined(std::initializer_list<std::set<std::string>> parts)
{
    std::set<std::string> all;
    for (const auto &part : parts)
        all.insert(part.begin(), part.end());
    return all;
}

TEST(Exports, HardwareBuildExportsEntryPointsAndExtensionApiOnly)
{
    EXPECT_EQ(exported_symbols(QPORT_HARDWARE_LIBRARY), joined({entry_points, extension_api}));
}

TEST(Exports, SimulatedBuildAddsOnlyTheSimulationApi)
{
    EXPECT_EQ(exported_symbols(QPORT_SIMULATED_LIBRARY),
              joined({entry_points, extension_api, simulation_api}));
}

} // namespace
