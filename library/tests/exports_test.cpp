// SPDX-License-Identifier: LGPL-2.1-or-later
// The dynamic symbol table of each build: the eleven entry points under
// their typed names, the extension API, and nothing else.
#include <cstdio>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include "qport.h"
#include "qport_entry_names.h"

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

const std::set<std::string> entry_points(qport::entry_names::all.begin(),
                                         qport::entry_names::all.end());
const std::set<std::string> extension_api = {
    "qport_access_status",  "qport_direct_access_status", "qport_access_errno",
    "qport_access_message", "qport_set_presenter",        "qport_default_presenter",
    "qport_backend",        "qport_drop_access",          "qport_show_notice",
    "qport_parport_routes", "qport_parport_reaches",      "qport_drop_privileges",
    "qport_access_name",
};
const std::set<std::string> simulation_api = {
    "qport_sim_reset",
    "qport_sim_preset",
    "qport_sim_peek",
    "qport_sim_port_decoded",
    "qport_sim_environment_understood",
    "qport_sim_transfers",
    "qport_sim_transfer_total",
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
    "qport_sim_describe_machine",
    "qport_sim_list_memories",
    "qport_sim_load_memory",
    "qport_sim_save_memory",
    "qport_sim_device_name",
    "qport_sim_profile_name",
    "qport_sim_current_profile",
    "qport_sim_set_profile",
    "qport_sim_list_devices",
    "qport_sim_device_properties",
    "qport_sim_set_device_property",
    "qport_sim_reset_count",
    "qport_sim_last_reset_cause",
    // devices of a program's own
    "qport_sim_attach_device",
    "qport_sim_detach_device",
    "qport_sim_serve_ports",
    "qport_sim_server_fd",
    "qport_sim_server_dispatch",
    "qport_sim_server_close",
};

std::set<std::string> joined(std::initializer_list<std::set<std::string>> parts)
{
    std::set<std::string> all;
    for (const auto &part : parts)
        all.insert(part.begin(), part.end());
    return all;
}

// Each name is the one the compiler gives the declaration in qport.h: this
// test links the simulated build, so the loader finds each name at the
// address of the function it declares.
TEST(Exports, EntryNamesAreTheDeclarationsOfQportH)
{
    namespace names = qport::entry_names;
    const std::pair<const char *, void *> declared[] = {
        {names::inport, reinterpret_cast<void *>(&inport)},
        {names::inportw, reinterpret_cast<void *>(&inportw)},
        {names::inportb, reinterpret_cast<void *>(&inportb)},
        {names::outport, reinterpret_cast<void *>(&outport)},
        {names::outportw, reinterpret_cast<void *>(&outportw)},
        {names::outportb, reinterpret_cast<void *>(&outportb)},
        {names::message, reinterpret_cast<void *>(&Message)},
        {names::error1, reinterpret_cast<void *>(&Error1)},
        {names::inpb, reinterpret_cast<void *>(&inpb)},
        {names::inpw, reinterpret_cast<void *>(&inpw)},
        {names::outpb, reinterpret_cast<void *>(&outpb)},
    };
    ASSERT_EQ(std::size(declared), names::all.size());
    for (const auto &[name, function] : declared)
        EXPECT_EQ(::dlsym(RTLD_DEFAULT, name), function) << name;
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
