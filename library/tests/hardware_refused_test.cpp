// SPDX-License-Identifier: LGPL-2.1-or-later
// The hardware build where the kernel refuses port access: no instruction
// may run (one would raise SIGSEGV here), and the user learns why. Where the
// kernel grants access these tests skip: real transfers run only inside the
// emulated PC.
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "child_process.h"
#include "qport.h"
#include "recording_presenter.h"

namespace {

class HardwareRefused : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qport_access_status() == QPORT_ACCESS_GRANTED)
            GTEST_SKIP() << "this machine grants port access; hardware transfers run only in the "
                            "emulated PC";
        if (qport_access_status() == QPORT_ACCESS_PARPORT_ONLY)
            GTEST_SKIP() << "this user reaches the machine's parallel port; transfers through it "
                            "run only in the emulated PC";
    }
};

TEST_F(HardwareRefused, CauseMatchesTheKernelsAnswer)
{
    const int error = qport_access_errno();
    switch (qport_access_status()) {
    case QPORT_ACCESS_NO_KERNEL_SUPPORT:
        EXPECT_EQ(error, ENOSYS);
        break;
    case QPORT_ACCESS_NO_PRIVILEGE:
    case QPORT_ACCESS_USER_NAMESPACE:
    case QPORT_ACCESS_LOCKDOWN:
        EXPECT_EQ(error, EPERM);
        break;
    default:
        ADD_FAILURE() << "unexpected cause, errno " << error << ": " << qport_access_message();
    }
    EXPECT_STREQ(qport_backend(), "hardware");
}

// In a child of its own: the refusal is told once per process, and each run
// of this case (repeated, in any order) must see it told. A child that
// executed a port instruction dies by SIGSEGV (128 + 11).
TEST_F(HardwareRefused, TransfersExecuteNoInstructionAndTellOnce)
{
    const int outcome = in_child([] {
        RecordingPresenter presenter;
        const bool reads_refused =
            inport(0x378) == -1 && inportw(0x378) == -1 && inportb(0x378) == -1;
        outport(0x378, 0x00FFFFFF);
        outportw(0x378, -256);
        outportb(17786, -38);
        const bool withheld_gives_0 = inpw(0x378) == 0;
        const auto notices = presenter.notices();
        const bool told_once = notices.size() == 2U && notices[0].title == "Port access refused" &&
                               notices[0].text == std::string(qport_access_message()) &&
                               notices[1].title == "Function unavailable!";
        return (reads_refused ? 0 : 1) | (withheld_gives_0 ? 0 : 2) | (told_once ? 0 : 4);
    });
    EXPECT_EQ(outcome, 0) << "1: a read was not refused; 2: inpw gave more than 0; 4: the "
                             "notices were not the refusal once, then the withheld entry point";
}

} // namespace
