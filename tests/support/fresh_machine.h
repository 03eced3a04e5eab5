// SPDX-License-Identifier: LGPL-2.1-or-later
// A fixture that gives each test a simulated machine of its own, so that no
// test depends on what another left behind, in whatever order they run.
#ifndef QPORT_TESTS_FRESH_MACHINE_H
#define QPORT_TESTS_FRESH_MACHINE_H

#include <gtest/gtest.h>

#include "qport_ext.h"
#include "qport_sim.h"

// The machine a process starts with: its own port space (no shared machine
// file), the "pc" profile built anew with every device at reset and nothing
// on lpt1, transfers recorded and none yet, nothing traced or printed, access
// granted, and the once-told notices to be told again.
inline void start_on_a_fresh_machine()
{
    qport_sim_use_machine(nullptr);
    qport_sim_refuse(QPORT_ACCESS_GRANTED);
    qport_sim_trace_to(nullptr);
    qport_sim_set_printer_output(nullptr);
    ASSERT_EQ(qport_sim_set_profile("pc"), 0);
    ASSERT_EQ(qport_sim_set_device(QPORT_SIM_DEVICE_NONE), 0);
    // A process that first looked at a shared machine keeps its own
    // machine's recording off; a test starts where a new process does.
    qport_sim_record_transfers(1);
    qport_sim_reset();
}

// Derive a test's fixture from this (or name it with `using Suite =
// FreshMachine;`): the machine is fresh before the test and put back after
// it, whatever the test changed.
class FreshMachine : public ::testing::Test {
protected:
    void SetUp() override { start_on_a_fresh_machine(); }
    void TearDown() override { start_on_a_fresh_machine(); }
};

#endif
