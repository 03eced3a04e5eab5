// SPDX-License-Identifier: LGPL-2.1-or-later
#include "phase_table.h"

#include <algorithm>
#include <sstream>
#include <utility>

namespace guest {
namespace {

template <typename Value> struct Named {
    const char *name;
    Value value;
};

constexpr Named<Preparation> preparations[] = {
    {"none", Preparation::none},
    {"parallel-port", Preparation::parallel_port},
    {"locked-down-parallel-port", Preparation::locked_down_parallel_port},
    {"capable-quorrel", Preparation::capable_quorrel},
};

constexpr Named<RunAs> identities[] = {
    {"root", RunAs::root},
    {"nobody", RunAs::nobody},
    {"nobody+lp", RunAs::nobody_in_lp},
    {"nobody+rawio", RunAs::nobody_with_rawio},
};

template <typename Value, std::size_t count>
bool look_up(const Named<Value> (&names)[count], const std::string &word, Value &value)
{
    for (const Named<Value> &entry : names) {
        if (word == entry.name) {
            value = entry.value;
            return true;
        }
    }
    return false;
}

// "-" or whole bytes in lower-case hex, as boot compares them with od's.
bool is_debug_console_bytes(const std::string &word)
{
    if (word == "-")
        return true;
    return !word.empty() && word.size() % 2 == 0 &&
           std::all_of(word.begin(), word.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// A file name in /tests: no path, nothing the console line could confuse.
bool is_program_name(const std::string &word)
{
    return std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
}

BootPhase *mutable_phase(PhaseTable &table, const std::string &name)
{
    return const_cast<BootPhase *>(find_phase(std::as_const(table), name));
}

// Reads one non-blank line's fields into table; "" when it fits, else why.
std::string read_line(std::istringstream &fields, const std::string &kind, PhaseTable &table)
{
    std::string name;
    fields >> name;
    if (kind == "phase") {
        BootPhase phase;
        phase.name = name;
        std::string preparation, bytes_457a, bytes_ffff, extra;
        fields >> preparation >> bytes_457a >> bytes_ffff;
        if (bytes_ffff.empty() || fields >> extra)
            return "a phase line is: phase NAME PREPARATION DEBUGCON_457A DEBUGCON_FFFF";
        if (mutable_phase(table, name) != nullptr)
            return "phase " + name + " is declared twice";
        if (!look_up(preparations, preparation, phase.preparation))
            return "unknown preparation '" + preparation + "'";
        if (!is_debug_console_bytes(bytes_457a) || !is_debug_console_bytes(bytes_ffff))
            return "debug console bytes are lower-case hex bytes or -";
        table.phases.push_back(std::move(phase));
        return "";
    }
    if (kind == "run") {
        ProgramRun run;
        std::string as, note;
        fields >> run.program >> as >> run.expectation;
        if (run.expectation.empty())
            return "a run line is: run PHASE PROGRAM AS QPORT_GUEST_PHASE [NOTE...]";
        BootPhase *phase = mutable_phase(table, name);
        if (phase == nullptr)
            return "run for phase " + name + ", which no phase line above declares";
        if (!is_program_name(run.program))
            return "'" + run.program + "' is not a program's file name";
        if (!look_up(identities, as, run.as))
            return "unknown identity '" + as + "'";
        // Words joined by one space, as the host's scripts read them.
        for (std::string word; fields >> word;)
            note += (note.empty() ? "" : " ") + word;
        run.label = note.empty() ? run.program : run.program + " (" + note + ")";
        for (const ProgramRun &other : phase->runs) {
            if (other.label == run.label)
                return "two runs in phase " + name + " named '" + run.label +
                       "': the console could not tell them apart";
        }
        phase->runs.push_back(std::move(run));
        return "";
    }
    return "unknown line '" + kind + "': phase or run";
}

} // namespace

PhaseTable read_phase_table(std::istream &text)
{
    PhaseTable table;
    std::string line;
    for (int number = 1; std::getline(text, line); ++number) {
        std::istringstream fields(line);
        std::string kind;
        if (!(fields >> kind) || kind.starts_with('#'))
            continue;
        if (std::string problem = read_line(fields, kind, table); !problem.empty()) {
            table.problem = "line " + std::to_string(number) + ": " + problem;
            return table;
        }
    }
    for (const BootPhase &phase : table.phases) {
        if (phase.runs.empty()) {
            table.problem = "phase " + phase.name + " runs no program";
            return table;
        }
    }
    if (table.phases.empty())
        table.problem = "no phase";
    return table;
}

const BootPhase *find_phase(const PhaseTable &table, const std::string &name)
{
    const auto found = std::find_if(table.phases.begin(), table.phases.end(),
                                    [&](const BootPhase &phase) { return phase.name == name; });
    return found == table.phases.end() ? nullptr : &*found;
}

} // namespace guest
