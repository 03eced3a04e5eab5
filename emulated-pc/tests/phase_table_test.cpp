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
    for (const char *name :
         {"granted", "refused", "bench", "quorrel", "parport", "lockdown", "record"})
        EXPECT_NE(guest::find_phase(table, name), nullptr) << name;
    const guest::BootPhase *parport = guest::find_phase(table, "parport");
    ASSERT_NE(parport, nullptr);
    EXPECT_EQ(parport->preparation, guest::Preparation::parallel_port);
    const guest::BootPhase *lockdown = guest::find_phase(table, "lockdown");
    ASSERT_NE(lockdown, nullptr);
    EXPECT_EQ(lockdown->preparation, guest::Preparation::locked_down_parallel_port);
    const guest::BootPhase *bench = guest::find_phase(table, "bench");
    ASSERT_NE(bench, nullptr);
    EXPECT_EQ(bench->settings.at("suite"), "no");
    const guest::BootPhase *record = guest::find_phase(table, "record");
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->settings.at("export"), "yes");
}

TEST(PhaseTable, RunsKeepTheirOrderIdentityAndLabel)
{
    const guest::PhaseTable table = read_text("# comment\n"
                                              "\n"
                                              "  [p]\n"
                                              "image = p.cpio\n"
                                              "preparation = parallel-port\n"
                                              "debugcon_457a = -\n"
                                              "debugcon_ffff=a5\n"
                                              "run = b nobody+lp lp-member group lp\n"
                                              "  run = a nobody+rawio granted\n"
                                              "run = a root granted as  root \n");
    ASSERT_EQ(table.problem, "");
    ASSERT_EQ(table.phases.size(), 1U);
    const guest::BootPhase &phase = table.phases[0];
    EXPECT_EQ(phase.preparation, guest::Preparation::parallel_port);
    const auto &runs = phase.runs;
    ASSERT_EQ(runs.size(), 3U);
    EXPECT_EQ(runs[0].program, "b");
    EXPECT_EQ(runs[0].as, guest::RunAs::nobody_in_lp);
    EXPECT_EQ(runs[0].as_name, "nobody+lp");
    EXPECT_EQ(runs[0].expectation, "lp-member");
    EXPECT_EQ(runs[0].label, "b (group lp)");
    EXPECT_EQ(runs[1].as, guest::RunAs::nobody_with_rawio);
    EXPECT_EQ(runs[1].label, "a");
    // Spaced as the host's scripts see it.
    EXPECT_EQ(runs[2].label, "a (as root)");
    EXPECT_EQ(guest::find_phase(table, "q"), nullptr);
}

TEST(PhaseTable, KeysLeftOutTakeTheirDefaults)
{
    const guest::PhaseTable table = read_text("[p]\nimage = p.cpio\npreparation = none\n"
                                              "debugcon_457a = da\ndebugcon_ffff = -\n"
                                              "run = a root granted\n"
                                              "[q]\nimage = q.cpio\npreparation = none\n"
                                              "debugcon_457a = -\ndebugcon_ffff = -\n"
                                              "memory = 1G\nparallel_port = file\ntrace = yes\n"
                                              "checker = check-it  trace.log parallel.bin\n"
                                              "suite = no\nexport = yes\nrun = a root granted\n");
    ASSERT_EQ(table.problem, "");
    const std::map<std::string, std::string, std::less<>> left_out = {
        {"image", "p.cpio"},    {"preparation", "none"}, {"debugcon_457a", "da"},
        {"debugcon_ffff", "-"}, {"memory", "256M"},      {"parallel_port", "null"},
        {"trace", "no"},        {"checker", ""},         {"suite", "yes"},
        {"export", "no"}};
    EXPECT_EQ(table.phases[0].settings, left_out);
    const std::map<std::string, std::string, std::less<>> given = {
        {"image", "q.cpio"},    {"preparation", "none"},
        {"debugcon_457a", "-"}, {"debugcon_ffff", "-"},
        {"memory", "1G"},       {"parallel_port", "file"},
        {"trace", "yes"},       {"checker", "check-it trace.log parallel.bin"},
        {"suite", "no"},        {"export", "yes"}};
    EXPECT_EQ(table.phases[1].settings, given);
}

TEST(PhaseTable, AWrongLineStopsTheReadingAndSaysWhere)
{
    // Lines 1 to 6: a whole phase.
    const std::string good = "[p]\nimage = i.cpio\npreparation = none\ndebugcon_457a = -\n"
                             "debugcon_ffff = -\nrun = a root granted\n";
    const std::string q = "[q]\n";
    struct Case {
        std::string table;
        std::string problem;
    };
    const Case cases[] = {
        {"# comment\nrun = a root granted\n" + good, "line 2: run before any [NAME]"},
        {"image = i.cpio\n" + good, "line 1: image before any [NAME]"},
        {good + "[p]\n", "line 7: phase p is declared twice"},
        {good + "[p\n", "line 7: a phase starts with [NAME]"},
        {good + "[]\n", "line 7: '' is not a phase name"},
        {good + "[P q]\n", "line 7: 'P q' is not a phase name"},
        {good + "image i.cpio\n", "line 7: 'image i.cpio' is neither [NAME] nor KEY = VALUE"},
        {good + "memroy = 512M\n", "line 7: unknown key 'memroy' (image, preparation,"},
        {good + "image = j.cpio\n", "line 7: image is given twice in phase p"},
        {q + "image = ../i.cpio\n", "line 2: image = ../i.cpio: it takes a file name"},
        {q + "preparation = modprobe\n", "line 2: preparation = modprobe: it takes none,"},
        {q + "debugcon_ffff = DA\n", "line 2: debugcon_ffff = DA: it takes lower-case hex"},
        {q + "debugcon_ffff = d\n", "line 2: debugcon_ffff = d: it takes lower-case hex"},
        {q + "memory = 512\n", "line 2: memory = 512: it takes a size"},
        {q + "memory = 0M\n", "line 2: memory = 0M: it takes a size"},
        {q + "parallel_port = lp0\n", "line 2: parallel_port = lp0: it takes null or file"},
        {q + "trace = 1\n", "line 2: trace = 1: it takes yes or no"},
        {q + "suite = maybe\n", "line 2: suite = maybe: it takes yes or no"},
        {q + "export = /run\n", "line 2: export = /run: it takes yes or no"},
        {q + "checker = ../check a\n", "line 2: checker = ../check a: it takes a program"},
        {good + "run = a root\n", "line 7: a run is: run = PROGRAM AS"},
        {good + "run = ../a root granted\n", "line 7: '../a' is not a program's file name"},
        {good + "run = a admin granted\n", "line 7: unknown identity 'admin'"},
        {good + "run = a nobody refused\n", "line 7: two runs in phase p named 'a'"},
        // A phase left incomplete is reported at its stanza's line.
        {good + "[q]\nrun = a root granted\n[r]\n", "line 7: phase q has no image"},
        {good + "[q]\nimage = i.cpio\npreparation = none\ndebugcon_457a = -\ndebugcon_ffff = -\n",
         "line 7: phase q runs no program"},
        {"[q]\nimage = i.cpio\npreparation = none\ndebugcon_457a = -\nrun = a root granted\n",
         "line 1: phase q has no debugcon_ffff"},
        {"# nothing\n", "no phase"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.table);
        const guest::PhaseTable table = read_text(c.table);
        EXPECT_TRUE(table.problem.starts_with(c.problem)) << table.problem;
    }
}

} // namespace
