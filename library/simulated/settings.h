// SPDX-License-Identifier: LGPL-2.1-or-later
// What the simulated build's configuration (the environment, read at load)
// and its C API share: the refusals it may pretend, the start of recording,
// and the lock that keeps two configuration changes from mixing.
#ifndef QPORT_SIM_SETTINGS_H
#define QPORT_SIM_SETTINGS_H

#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "qport_ext.h"
#include "machine.h"

namespace qport::sim {

// A kernel's answer to a request for port access, as QPORT_SIM_REFUSE
// names it.
// A refusal the simulated build pretends (QPORT_SIM_REFUSE, qport_sim_refuse):
// the causes a kernel gives, named by qport_access_name(), with the errno
// behind each.
struct Refusal {
    qport_access cause;
    int error;
    std::string_view name() const { return qport_access_name(cause); }
};
std::span<const Refusal> refusals();
// "no-privilege, user-namespace, ...".
std::string refusal_names();

// Until the program uses qport_sim.h it cannot read the record, so an
// unchanged program pays nothing for it; its first call starts recording
// on its own machine unless it chose with qport_sim_record_transfers.
void note_api_use();
void choose_recording(bool on);

// False when the environment read at load named a profile, peripheral,
// setting or refusal the simulated PC lacks (each told on standard error).
bool environment_understood();

// Configuration is rare; this lock keeps two changes of it from mixing.
std::mutex &configuration_mutex();

// Switches to the machine file at path (nullptr: this process's own) and
// opens the outputs it names. 0, or -1 with errno set and the reason told.
int switch_machine(const char *path);

// Loads the file at path into the machine's memory named name, as
// qport_sim_load_memory does, without starting the record.
int load_memory(const char *name, const char *path);

// Builds the machine in use anew as the description at path says
// (machine_description.cpp). 0, or -1 with errno set and why the file, line
// and key were refused in why; changed says whether the machine was built
// anew (up to the key refused) or left as it was (the file unreadable).
int describe_machine(const char *path, std::string &why, bool &changed);

// The record of transfers (record.cpp).
void note_transfer(Machine &machine, char direction, unsigned width_bits, std::uint16_t port,
                   std::uint32_t value);
std::size_t copy_records(Machine &machine, qport_sim_transfer *out, std::size_t capacity);
void clear_records(Machine &machine);
// Transfers recorded since the record was last cleared, those the ring has
// overwritten too.
std::uint64_t recorded_total(const Machine &machine);

} // namespace qport::sim

#endif
