// SPDX-License-Identifier: LGPL-2.1-or-later
// qportio reset and qportio show: the simulated PC's machine, seen from a
// script. qportio is linked with the hardware build, which lacks qport_sim.h's
// functions, so they are looked up when the command runs: found only when
// LD_LIBRARY_PATH put the simulated build in its place.
#include "machine_commands.h"

#include <dlfcn.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "exit_status.h"
#include "transfer_lines.h"
#include "qport_sim.h"

namespace qportio {
namespace {

constexpr unsigned default_shown_transfers = 10;
constexpr const char *needs_simulated_build_remedy =
    "the hardware build of libqport.so.1 is loaded; run it with LD_LIBRARY_PATH naming the "
    "directory qport/simulated beside libqport.so.1";

// The functions of the simulated build that the commands use.
struct SimulationApi {
    void (*reset)() = nullptr;
    std::size_t (*transfers)(qport_sim_transfer *, std::size_t) = nullptr;
    std::uint64_t (*transfer_total)() = nullptr;
    const char *(*machine_path)() = nullptr;
    const char *(*current_profile)() = nullptr;
    std::size_t (*list_devices)(qport_sim_device_info *, std::size_t) = nullptr;
    int (*device_properties)(const char *, qport_sim_property_visitor, void *) = nullptr;
    int (*set_device_property)(const char *, const char *, const char *) = nullptr;
    std::uint32_t (*reset_count)() = nullptr;
    const char *(*last_reset_cause)() = nullptr;
    std::size_t (*list_memories)(qport_sim_memory_info *, std::size_t) = nullptr;
    int (*load_memory)(const char *, const char *) = nullptr;
    int (*save_memory)(const char *, const char *) = nullptr;

    bool complete() const
    {
        return reset && transfers && machine_path && current_profile && list_devices &&
               device_properties && set_device_property && reset_count && last_reset_cause &&
               list_memories && load_memory && save_memory;
    }
};

template <typename Function> void look_up(Function &function, const char *name)
{
    function = reinterpret_cast<Function>(::dlsym(RTLD_DEFAULT, name));
}

SimulationApi simulation_api()
{
    SimulationApi api;
    look_up(api.reset, "qport_sim_reset");
    look_up(api.transfers, "qport_sim_transfers");
    look_up(api.transfer_total, "qport_sim_transfer_total");
    look_up(api.machine_path, "qport_sim_machine_path");
    look_up(api.current_profile, "qport_sim_current_profile");
    look_up(api.list_devices, "qport_sim_list_devices");
    look_up(api.device_properties, "qport_sim_device_properties");
    look_up(api.set_device_property, "qport_sim_set_device_property");
    look_up(api.reset_count, "qport_sim_reset_count");
    look_up(api.last_reset_cause, "qport_sim_last_reset_cause");
    look_up(api.list_memories, "qport_sim_list_memories");
    look_up(api.load_memory, "qport_sim_load_memory");
    look_up(api.save_memory, "qport_sim_save_memory");
    return api;
}

// A property's value on one line: what a terminal would take as control
// (the printer's paper holds whatever was printed) as C escapes.
void print_escaped(std::string_view text)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\')
            std::fputs("\\\\", stdout);
        else if (c == '\n')
            std::fputs("\\n", stdout);
        else if (byte < 0x20 || byte == 0x7F)
            std::printf("\\x%02x", unsigned{byte});
        else
            std::putchar(c);
    }
}

void print_property(const char *key, const char *value, void * /*user_data*/)
{
    const std::string_view name = key;
    // The device's line says these already, but for a device's second range.
    if (name == "type" ||
        (name == "ports" && std::string_view(value).find(" and ") == std::string_view::npos))
        return;
    std::printf("  %s: ", key);
    print_escaped(value);
    std::putchar('\n');
}

int show(const SimulationApi &api, unsigned shown_transfers)
{
    // A machine that was named but could not be used is refused before this.
    const char *path = api.machine_path();
    const char *profile = api.current_profile();
    if (path != nullptr)
        std::printf("machine: %s", path);
    else
        std::printf("machine: this process's own (QPORT_SIM_MACHINE is %s)",
                    ::secure_getenv("QPORT_SIM_MACHINE") == nullptr ? "not set" : "empty");
    std::printf(", profile %s\n", profile != nullptr ? profile : "none");
    const std::uint32_t resets = api.reset_count();
    if (resets == 0)
        std::printf("resets by programs: none\n");
    else
        std::printf("resets by programs: %u, the last by %s\n", unsigned{resets},
                    api.last_reset_cause());

    std::vector<qport_sim_device_info> devices(api.list_devices(nullptr, 0));
    devices.resize(std::min(devices.size(), api.list_devices(devices.data(), devices.size())));
    for (const qport_sim_device_info &device : devices) {
        std::printf("%s: %s", device.name, device.type);
        if (device.port_count == 0)
            std::printf(", disabled\n");
        else if (device.port_count == 1)
            std::printf(" at 0x%04x\n", unsigned{device.first_port});
        else
            std::printf(" at 0x%04x-0x%04x\n", unsigned{device.first_port},
                        device.first_port + device.port_count - 1U);
        api.device_properties(device.name, print_property, nullptr);
    }

    std::vector<qport_sim_transfer> transfers(api.transfers(nullptr, 0));
    transfers.resize(api.transfers(transfers.data(), transfers.size()));
    const std::size_t first =
        transfers.size() > shown_transfers ? transfers.size() - shown_transfers : 0;
    // The ring keeps the last QPORT_SIM_RECORDS; the total counts on.
    const std::uint64_t total =
        api.transfer_total != nullptr ? api.transfer_total() : std::uint64_t{transfers.size()};
    std::printf("last transfers: %zu of %llu recorded\n", transfers.size() - first,
                static_cast<unsigned long long>(total));
    for (std::size_t i = first; i < transfers.size(); ++i) {
        const qport_sim_transfer &transfer = transfers[i];
        // The trace's line, which a replay reads back.
        std::fputs(
            std::string(qport::transfer_line(transfer.time_ns, transfer.direction,
                                             transfer.width_bits, transfer.port, transfer.value)
                            .view())
                .c_str(),
            stdout);
    }
    return finish_output();
}

// qportio set DEVICE KEY=VALUE...: each in turn, stopping at the first
// refused.
int set(std::span<const char *const> options)
{
    if (options.size() < 2)
        return usage_error("set takes a device and KEY=VALUE settings (set ec event=0x42)");
    const SimulationApi api = simulation_api();
    if (!api.complete()) {
        std::fprintf(stderr, "qportio: set needs the simulated build: the hardware build of "
                             "libqport.so.1 is loaded; run it with LD_LIBRARY_PATH naming the "
                             "directory qport/simulated beside libqport.so.1\n");
        return exit_needs_simulated_build;
    }
    if (const auto refused = refuse_unusable_machine())
        return *refused;
    if (api.machine_path() == nullptr)
        return usage_error("set acts on a shared machine: set QPORT_SIM_MACHINE=PATH");
    for (const char *setting : options.subspan(1)) {
        const std::string_view text = setting;
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos || equals == 0)
            return usage_error("set takes KEY=VALUE settings after the device");
        const std::string key(text.substr(0, equals));
        const std::string value(text.substr(equals + 1));
        if (api.set_device_property(options[0], key.c_str(), value.c_str()) != 0) {
            const int error = errno;
            std::fprintf(stderr, "qportio: %s %s=%s: %s\n", options[0], key.c_str(), value.c_str(),
                         error == ENOENT ? "no such device or settable property"
                                         : "value refused (the reason is above)");
            return exit_set_refused;
        }
    }
    return exit_done;
}

std::vector<qport_sim_memory_info> memories(const SimulationApi &api)
{
    std::vector<qport_sim_memory_info> found(api.list_memories(nullptr, 0));
    found.resize(std::min(found.size(), api.list_memories(found.data(), found.size())));
    return found;
}

// memory: lists the machine's memories; memory load NAME FILE and memory
// save NAME FILE copy one from or to a file.
int memory(const SimulationApi &api, std::span<const char *const> options)
{
    const std::vector<qport_sim_memory_info> found = memories(api);
    if (options.empty()) {
        const char *path = api.machine_path();
        for (const qport_sim_memory_info &memory : found) {
            std::printf("%s: %" PRIu64 " bytes", memory.name, memory.size);
            if (path != nullptr)
                std::printf(", in %s.memory-%s", path, memory.name);
            std::putchar('\n');
        }
        return finish_output();
    }
    const std::string_view action = options[0];
    if ((action != "load" && action != "save") || options.size() != 3)
        return usage_error("memory takes no argument, or load NAME FILE, or save NAME FILE");
    const char *name = options[1];
    const char *file = options[2];
    const bool loading = action == "load";
    if ((loading ? api.load_memory(name, file) : api.save_memory(name, file)) == 0)
        return exit_done;
    const int error = errno;
    std::string names;
    for (const qport_sim_memory_info &memory : found)
        names += (names.empty() ? "" : ", ") + std::string(memory.name);
    if (error == ENOENT && std::none_of(found.begin(), found.end(), [name](const auto &memory) {
            return std::string_view(memory.name) == name;
        }))
        std::fprintf(stderr, "qportio: the machine has no memory named %s; it has %s\n", name,
                     names.empty() ? "none" : names.c_str());
    else if (error == EINVAL && loading)
        std::fprintf(stderr, "qportio: cannot load %s into %s: it is not of the memory's size\n",
                     file, name);
    else
        std::fprintf(stderr, "qportio: cannot %s %s %s %s: %s\n", loading ? "load" : "save", name,
                     loading ? "from" : "to", file, std::strerror(error));
    return exit_memory_file;
}

// machine create PATH --from FILE: the shared machine in PATH (made if
// missing) built anew as FILE describes it.
int create_machine(std::span<const char *const> options)
{
    if (options.size() != 4 || std::string_view(options[0]) != "create" ||
        std::string_view(options[2]) != "--from")
        return usage_error("machine takes create PATH --from FILE");
    int (*use_machine)(const char *) = nullptr;
    int (*describe_machine)(const char *, char *, std::size_t) = nullptr;
    look_up(use_machine, "qport_sim_use_machine");
    look_up(describe_machine, "qport_sim_describe_machine");
    if (use_machine == nullptr || describe_machine == nullptr) {
        std::fprintf(stderr, "qportio: machine create needs the simulated build: %s\n",
                     needs_simulated_build_remedy);
        return exit_needs_simulated_build;
    }
    // The library told why.
    if (use_machine(options[1]) != 0)
        return exit_machine_unusable;
    char why[512] = {};
    if (describe_machine(options[3], why, sizeof why) != 0) {
        std::fprintf(stderr, "qportio: %s\n", why[0] != '\0' ? why : std::strerror(errno));
        return exit_description_refused;
    }
    return exit_done;
}

} // namespace

std::optional<int> run_machine_command(std::span<const char *const> arguments)
{
    if (arguments.empty())
        return std::nullopt;
    const std::string_view command = arguments[0];
    if (command == "machine")
        return create_machine(arguments.subspan(1));
    if (command != "reset" && command != "show" && command != "set" && command != "memory")
        return std::nullopt;
    if (command == "set")
        return set(arguments.subspan(1));

    unsigned shown_transfers = default_shown_transfers;
    const auto options = arguments.subspan(1);
    if (command == "show" && options.size() == 2 && std::string_view(options[0]) == "-n") {
        const std::string_view count = options[1];
        const auto [end, error] =
            std::from_chars(count.data(), count.data() + count.size(), shown_transfers);
        if (error != std::errc() || end != count.data() + count.size())
            return usage_error("show -n takes a count of transfers (0, 10, ...)");
    } else if (!options.empty() && command != "memory") {
        return usage_error(command == "show" ? "show takes no argument but -n COUNT"
                                             : "reset takes no argument");
    }

    const SimulationApi api = simulation_api();
    if (!api.complete()) {
        std::fprintf(stderr, "qportio: %s needs the simulated build: %s\n", arguments[0],
                     needs_simulated_build_remedy);
        return exit_needs_simulated_build;
    }
    if (const auto refused = refuse_unusable_machine())
        return refused;
    if (command == "show")
        return show(api, shown_transfers);
    if (command == "memory")
        return memory(api, options);
    if (api.machine_path() == nullptr)
        return usage_error("reset acts on a shared machine: set QPORT_SIM_MACHINE=PATH");
    api.reset();
    return exit_done;
}

std::optional<int> refuse_unusable_machine()
{
    int (*environment_understood)() = nullptr;
    look_up(environment_understood, "qport_sim_environment_understood");
    if (environment_understood != nullptr && environment_understood() == 0)
        return usage_error("the environment names what the simulated PC lacks (above), so "
                           "nothing was done");
    const char *named = ::secure_getenv("QPORT_SIM_MACHINE");
    if (named == nullptr || *named == '\0')
        return std::nullopt;
    const char *(*machine_path)() = nullptr;
    look_up(machine_path, "qport_sim_machine_path");
    if (machine_path == nullptr || machine_path() != nullptr)
        return std::nullopt;
    std::fprintf(stderr,
                 "qportio: QPORT_SIM_MACHINE=%s names a machine that cannot be used (the "
                 "reason is above), so nothing was done; fix it, or unset QPORT_SIM_MACHINE "
                 "for a port space of this run's own\n",
                 named);
    return exit_machine_unusable;
}

} // namespace qportio
