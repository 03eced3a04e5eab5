// SPDX-License-Identifier: LGPL-2.1-or-later
// /init's reader of the phase table, on the host: the project's own table
// must read whole (a broken one would end every boot before any program),
// and each way a line can be wrong must stop the reading with its line.
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "phase_table.h"

namespace {

guest::PhaseTable read_text(const std::string &text)
{
    std::istringstream stream(text);
    return guest::read_phase_table(stream);
}

TEST(PhaseTable, TheProjectsTableReadsWhole)
{
    std::ifstream file(QPORT_PHASE_TABLE);
    ASSERT_TRUE(file.is_open()) << QPORT_PHASE_TABLE;
    const guest::PhaseTable table = guest::read_phase_table(file);
    ASSERT_EQ(table.problem, "");
    for (const char *name : {"granted", "refused", "bench", "quorrel", "parport", "lockdown"})
        EXPECT_NE(guest::find_phase(table, name), nullptr) << name;
    const guest::BootPhase *parport = guest::find_phase(table, "parport");
    ASSERT_NE(parport, nullptr);
    EXPECT_EQ(parport->preparation, guest::Preparation::parallel_port);
    const guest::BootPhase *lockdown = guest::find_phase(table, "lockdown");
    ASSERT_NE(lockdown, nullptr);
    EXPECT_EQ(lockdown->preparation, guest::Preparation::locked_down_parallel_port);
}

TEST(PhaseTable, RunsKeepTheirOrderIdentityAndLabel)
{
    const guest::PhaseTable table = read_text("# comment\n"
                                              "\n"
                                              "phase p parallel-port - a5\n"
                                              "run p b nobody+lp lp-member group lp\n"
                                              "  run p a nobody+rawio granted\n"
                                              "run p a root granted as  root \n");
    ASSERT_EQ(table.problem, "");
    ASSERT_EQ(table.phases.size(), 1U);
    const auto &runs = table.phases[0].runs;
    ASSERT_EQ(runs.size(), 3U);
    EXPECT_EQ(runs[0].program, "b");
    EXPECT_EQ(runs[0].as, guest::RunAs::nobody_in_lp);
    EXPECT_EQ(runs[0].expectation, "lp-member");
    EXPECT_EQ(runs[0].label, "b (group lp)");
    EXPECT_EQ(runs[1].as, guest::RunAs::nobody_with_rawio);
    EXPECT_EQ(runs[1].label, "a");
    // Spaced as the host's scripts see it.
    EXPECT_EQ(runs[2].label, "a (as root)");
    EXPECT_EQ(guest::find_phase(table, "q"), nullptr);
}

TEST(PhaseTable, AWrongLineStopsTheReadingAndSaysWhere)
{
    const std::string good = "phase p none - -\nrun p a root granted\n";
    struct Case {
        std::string added;
        std::string problem;
    };
    const Case cases[] = {
        {"phase p none - -\n", "line 3: phase p is declared twice"},
        {"phase q none -\n", "line 3: a phase line is"},
        {"phase q none - - -\n", "line 3: a phase line is"},
        {"phase q modprobe - -\nrun q a root granted\n", "line 3: unknown preparation"},
        {"phase q none DA -\nrun q a root granted\n", "line 3: debug console bytes"},
        {"phase q none d -\nrun q a root granted\n", "line 3: debug console bytes"},
        {"run q a root granted\n", "line 3: run for phase q, which no phase line"},
        {"run p a root\n", "line 3: a run line is"},
        {"run p ../a root granted\n", "line 3: '../a' is not a program's file name"},
        {"run p a admin granted\n", "line 3: unknown identity 'admin'"},
        {"run p a nobody refused\n", "line 3: two runs in phase p named 'a'"},
        {"runs p a root granted\n", "line 3: unknown line 'runs'"},
        {"phase q none - -\n", "phase q runs no program"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.added);
        const guest::PhaseTable table = read_text(good + c.added);
        EXPECT_TRUE(table.problem.starts_with(c.problem)) << table.problem;
    }
    EXPECT_EQ(read_text("# nothing\n").problem, "no phase");
}

} // namespace
