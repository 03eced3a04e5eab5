// SPDX-License-Identifier: LGPL-2.1-or-later
// The simulated PC as the environment describes it, read when the library
// is loaded, and what the configuration shares with the C API.
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

#include "backend.h"
#include "device.h"
#include "parallel_port.h"
#include "replay.h"
#include "settings.h"
#include "transfer_lines.h"

namespace qport::sim {
namespace {

constexpr std::array refusal_table{
    Refusal{QPORT_ACCESS_NO_PRIVILEGE, EPERM}, Refusal{QPORT_ACCESS_USER_NAMESPACE, EPERM},
    Refusal{QPORT_ACCESS_LOCKDOWN, EPERM},     Refusal{QPORT_ACCESS_NO_KERNEL_SUPPORT, ENOSYS},
    Refusal{QPORT_ACCESS_NOT_X86, 0},          Refusal{QPORT_ACCESS_OTHER, EIO},
};

constinit std::mutex configuration_lock;

constinit std::atomic<bool> recording_chosen{false};

// Whether a QPORT_SIM_ variable named something the simulated PC lacks: the
// library only tells it, a tool that a person started may refuse to run.
constinit bool environment_misunderstood = false;

// A variable set to something: an empty value counts as unset, and a
// set-id program takes none (see qport_variable).
const char *set_variable(const char *name) { return qport_variable(name); }

void tell_unknown(const char *variable, const char *value, const std::string &what,
                  const std::string &valid, const std::string &kept)
{
    environment_misunderstood = true;
    Line line;
    tell(line.text(variable)
             .text("=")
             .text(value)
             .text(" names no ")
             .text(what)
             .text("; it can be ")
             .text(valid)
             .text(" (an empty value counts as unset); ")
             .text(kept));
}

void configure_profile(Machine &machine, const char *name)
{
    const Profile *wanted = name == nullptr ? nullptr : find_profile(name);
    if (name != nullptr && wanted == nullptr)
        tell_unknown("QPORT_SIM_PROFILE", name, "machine", profile_names(),
                     "the machine stays as it is");
    const Profile *built = profile_of(machine);
    if (wanted == nullptr)
        wanted = built != nullptr ? built : &default_profile();
    if (wanted != built)
        build_machine(machine, *wanted);
}

void configure_peripheral(Machine &machine, const char *choice)
{
    DeviceSlot *port = find_slot(machine, "lpt1");
    if (port == nullptr)
        return;
    const std::string kept = "the parallel port keeps its peripheral";
    std::string refused;
    switch (set_peripheral(machine, *port, choice, Plugging::unless_plugged_in, &refused)) {
    case 0:
        break;
    case ENOENT:
        tell_unknown("QPORT_SIM_DEVICE", choice, "peripheral", peripheral_names(), kept);
        break;
    default: {
        environment_misunderstood = true;
        Line line;
        tell(line.text("QPORT_SIM_DEVICE=")
                 .text(choice)
                 .text(" has a setting that peripheral does not take: ")
                 .text(refused)
                 .text("; it is on the port without the rest of its settings"));
    }
    }
}

void tell_cannot_trace(const char *destination, int error)
{
    Line line;
    if (error == ENXIO)
        line.text("the trace FIFO ").text(destination).text(" has no reader");
    else if (error == EBADF && std::strcmp(destination, "stdout") == 0)
        line.text("standard output is closed, so the trace cannot go there");
    else if (error == EBADF && std::strcmp(destination, "stderr") == 0)
        line.text("standard error is closed, so the trace cannot go there");
    else if (error == ELOOP)
        line.text("the trace ")
            .text(destination)
            .text(" is a symbolic link in a directory shared with other users, which the trace "
                  "does not follow");
    else if (error == EPERM)
        line.text("the trace ")
            .text(destination)
            .text(" is another user's FIFO, socket or device, which would hand the trace on");
    else
        line.text("cannot write the trace to ")
            .text(destination)
            .text(": ")
            .text(strerrordesc_np(error));
    tell(line.text("; the program runs without a trace"));
}

void configure_description(const char *path)
{
    std::string why;
    bool changed = false;
    if (describe_machine(path, why, changed) == 0)
        return;
    Line line;
    tell(line.text("QPORT_SIM_MACHINE_DESCRIPTION: ")
             .text(why)
             .text(changed ? "; the machine is as described up to there"
                           : "; the machine is not described"));
}

void configure_refusal(const char *name)
{
    for (const Refusal &refusal : refusal_table) {
        if (refusal.name() == name) {
            backend::simulated_access = refusal.cause;
            return;
        }
    }
    tell_unknown("QPORT_SIM_REFUSE", name, "refusal", refusal_names(), "access stays granted");
}

__attribute__((constructor)) void configure_from_environment()
{
    const char *replay = set_variable("QPORT_SIM_REPLAY");
    if (const char *machine = set_variable("QPORT_SIM_MACHINE"); machine && replay) {
        Line line;
        tell(line.text("QPORT_SIM_MACHINE=")
                 .text(machine)
                 .text(" is not used while replaying: the replay runs on a machine of this "
                       "process's own"));
    }
    // A shared machine is described once, by the process that makes its
    // file: the others find it as described and as driven since.
    const char *shared = replay == nullptr ? set_variable("QPORT_SIM_MACHINE") : nullptr;
    struct stat existing {};
    const bool made_here = shared == nullptr || ::lstat(shared, &existing) != 0;
    if (shared != nullptr)
        use_machine_file(shared);
    Machine &machine = *active_machine();
    if (const char *description = set_variable("QPORT_SIM_MACHINE_DESCRIPTION");
        description && made_here)
        configure_description(description);
    configure_profile(machine, set_variable("QPORT_SIM_PROFILE"));
    if (const char *device = set_variable("QPORT_SIM_DEVICE"))
        configure_peripheral(machine, device);
    DeviceSlot *port = find_slot(machine, "lpt1");
    if (const char *output = set_variable("QPORT_SIM_PRINTER_OUTPUT"); output && port) {
        if (set_printer_output(machine, *port, output) != 0)
            tell_cannot_print(output, errno);
    }
    open_printer_outputs(machine);
    if (const char *destination = set_variable("QPORT_TRACE")) {
        if (trace.open(destination) != 0)
            tell_cannot_trace(destination, errno);
    }
    if (const char *refuse = set_variable("QPORT_SIM_REFUSE"))
        configure_refusal(refuse);
    open_recording_from_environment();
    if (replay)
        start_replay(machine, replay, set_variable("QPORT_SIM_REPLAY_IGNORE_WRITES"),
                     set_variable("QPORT_SIM_REPLAY_EXIT_STATUS"));
}

} // namespace

std::span<const Refusal> refusals() { return refusal_table; }

std::string refusal_names()
{
    std::string names;
    for (const Refusal &refusal : refusal_table)
        names += (names.empty() ? "" : ", ") + std::string(refusal.name());
    return names;
}

void note_api_use()
{
    // A shared machine records as it was made to (from its creation on),
    // whatever its users ask about it: looking at it must not slow every
    // process on it down.
    if (!recording_chosen.load(std::memory_order_relaxed) && !recording_chosen.exchange(true) &&
        machine_file_path() == nullptr)
        active_machine()->recording.store(1);
}

void choose_recording(bool on)
{
    recording_chosen.store(true);
    active_machine()->recording.store(on ? 1 : 0);
}

std::mutex &configuration_mutex() { return configuration_lock; }

bool environment_understood() { return !environment_misunderstood; }

int switch_machine(const char *path)
{
    const int result = use_machine_file(path);
    if (result == 0) {
        Machine &machine = *active_machine();
        if (profile_of(machine) == nullptr)
            build_machine(machine, default_profile());
        open_printer_outputs(machine);
    }
    return result;
}

} // namespace qport::sim
