// SPDX-License-Identifier: LGPL-2.1-or-later
// The emulated PC's table of boot phases (emulated-pc/phases.cfg): for each
// phase, which programs it runs and as whom, what /init prepares first, and
// how the host boots and checks it. /init reads it from the initramfs; on the
// host, emulated_pc_phase_table answers the scripts' questions with the same
// reader.
#ifndef QPORT_GUEST_PHASE_TABLE_H
#define QPORT_GUEST_PHASE_TABLE_H

#include <functional>
#include <istream>
#include <map>
#include <string>
#include <vector>

namespace guest {

// Where make-initramfs puts the table.
inline constexpr const char *phase_table_path = "/etc/qport-phases";

// In a phase with export = yes: the directory whose files /init writes to
// the second serial port after the runs, for the host to take apart, and
// that port.
inline constexpr const char *export_dir = "/run/export";
inline constexpr const char *export_port = "/dev/ttyS1";

enum class Preparation { none, parallel_port, locked_down_parallel_port, capable_quorrel };

enum class RunAs {
    root,             // uid 0, every capability
    nobody,           // user and group 65534
    nobody_in_lp,     // and the supplementary group lp
    nobody_with_rawio // from a copy with cap_sys_rawio+ep
};

struct ProgramRun {
    std::string program; // the file name in /tests
    RunAs as = RunAs::root;
    std::string as_name;     // as the table writes it: "nobody+lp"
    std::string expectation; // QPORT_GUEST_PHASE
    std::string label;       // "program" or "program (note)"
};

struct BootPhase {
    std::string name;
    Preparation preparation = Preparation::none;
    std::vector<ProgramRun> runs;
    // Every key but run, as written (words joined by one space) or its
    // default: what the host's scripts ask for by name.
    std::map<std::string, std::string, std::less<>> settings;
};

struct PhaseTable {
    std::vector<BootPhase> phases;
    std::string problem; // empty when the whole table was read
};

// Reads the table; on the first malformed line stops with problem set to
// "line N: what is wrong".
PhaseTable read_phase_table(std::istream &text);

// The phase of that name, or nullptr.
const BootPhase *find_phase(const PhaseTable &table, const std::string &name);

} // namespace guest

#endif
