// SPDX-License-Identifier: LGPL-2.1-or-later
// emulated_pc_phase_table: the phase table's answers for the host's scripts
// (boot, check-guest-results, run-benchmarks), read with the guest's own
// reader so that the host and /init can never read it apart.
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

#include "phase_table.h"

namespace {

constexpr const char *usage =
    "usage: emulated_pc_phase_table TABLE phases [--suite]\n"
    "       emulated_pc_phase_table TABLE field PHASE KEY\n"
    "       emulated_pc_phase_table TABLE runs PHASE\n"
    "Reads the emulated PC's phase table (emulated-pc/phases.cfg) and prints:\n"
    "  phases        the phases' names, one a line (--suite: those with suite = yes)\n"
    "  field         the value of KEY in PHASE, its default when left out\n"
    "  runs          PHASE's runs in order, one a line: AS LABEL\n"
    "Exit status: 0 done; 1 the table is malformed, or lacks PHASE or KEY; 2 bad usage.\n";

int bad_usage()
{
    std::cerr << usage;
    return 2;
}

int problem(const std::string &text)
{
    std::cerr << "emulated_pc_phase_table: " << text << '\n';
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        std::cout << usage;
        return 0;
    }
    if (argc < 3)
        return bad_usage();
    const std::string path = argv[1];
    const std::string_view command = argv[2];
    const bool lists_phases =
        command == "phases" && (argc == 3 || (argc == 4 && std::string_view(argv[3]) == "--suite"));
    if (!lists_phases && !(command == "field" && argc == 5) && !(command == "runs" && argc == 4))
        return bad_usage();

    std::ifstream file(path);
    if (!file.is_open())
        return problem("cannot read " + path);
    const guest::PhaseTable table = guest::read_phase_table(file);
    if (!table.problem.empty())
        return problem(path + ": " + table.problem);

    if (lists_phases) {
        for (const guest::BootPhase &phase : table.phases) {
            if (argc == 3 || phase.settings.at("suite") == "yes")
                std::cout << phase.name << '\n';
        }
        return 0;
    }
    const guest::BootPhase *phase = guest::find_phase(table, argv[3]);
    if (phase == nullptr)
        return problem(path + " has no phase " + argv[3]);
    if (command == "runs") {
        for (const guest::ProgramRun &run : phase->runs)
            std::cout << run.as_name << ' ' << run.label << '\n';
        return 0;
    }
    const auto setting = phase->settings.find(std::string_view(argv[4]));
    if (setting == phase->settings.end())
        return problem(std::string("no key ") + argv[4] + " (runs: the runs command)");
    std::cout << setting->second << '\n';
    return 0;
}
