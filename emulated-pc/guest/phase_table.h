// SPDX-License-Identifier: LGPL-2.1-or-later
// The emulated PC's table of boot phases (emulated-pc/phases.cfg): which
// programs each phase runs, as whom, and what /init prepares first. /init
// reads it from the initramfs; the host's scripts read the same file.
#ifndef QPORT_GUEST_PHASE_TABLE_H
#define QPORT_GUEST_PHASE_TABLE_H

#include <istream>
#include <string>
#include <vector>

namespace guest {

// Where make-initramfs puts the table.
inline constexpr const char *phase_table_path = "/etc/qport-phases";

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
    std::string expectation; // QPORT_GUEST_PHASE
    std::string label;       // "program" or "program (note)"
};

struct BootPhase {
    std::string name;
    Preparation preparation = Preparation::none;
    std::vector<ProgramRun> runs;
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
