// SPDX-License-Identifier: LGPL-2.1-or-later
// Refused port access on the simulated build: what callers and the user see.
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fresh_machine.h"
#include "qport.h"
#include "qport_ext.h"
#include "qport_sim.h"
#include "recording_presenter.h"

namespace {

using RefusedAccess = FreshMachine;

struct CauseCase {
    qport_access cause;
    int error;
    const char *explanation; // found in the message
    const char *fix;         // found in the message
};

TEST_F(RefusedAccess, StatusErrnoAndMessageNameTheCauseAndTheFix)
{
    const CauseCase cases[] = {
        {QPORT_ACCESS_NO_PRIVILEGE, EPERM, "CAP_SYS_RAWIO",
         "restrict who may run it, as explained in\n    " QPORT_REAL_ACCESS_DOC "\n"},
        {QPORT_ACCESS_USER_NAMESPACE, EPERM, "user namespace",
         "outside the container, as root, or with the capability given as explained in\n"
         "    " QPORT_REAL_ACCESS_DOC "\n"},
        {QPORT_ACCESS_LOCKDOWN, EPERM, "locked down", "Secure Boot off"},
        {QPORT_ACCESS_NO_KERNEL_SUPPORT, ENOSYS, "(ENOSYS)", "CONFIG_X86_IOPL_IOPERM=y"},
        {QPORT_ACCESS_NOT_X86, 0, "not an x86", "x86 PC"},
        {QPORT_ACCESS_OTHER, EIO, "Input/output error", "root or with CAP_SYS_RAWIO"},
    };
    for (const CauseCase &c : cases) {
        SCOPED_TRACE(c.explanation);
        qport_sim_refuse(c.cause);
        EXPECT_EQ(qport_access_status(), c.cause);
        EXPECT_EQ(qport_access_errno(), c.error);
        const std::string message = qport_access_message();
        EXPECT_NE(message.find(c.explanation), std::string::npos) << message;
        EXPECT_NE(message.find(c.fix), std::string::npos) << message;
        // The simulated PC comes first where qport-run can run the program.
        const std::size_t without_hardware =
            message.find("Try it without hardware: qport-run PROGRAM\n");
        if (c.cause != QPORT_ACCESS_NOT_X86)
            EXPECT_LT(without_hardware, message.find(c.fix)) << message;
        else
            EXPECT_EQ(without_hardware, std::string::npos) << message;
        EXPECT_NE(message.find("No port transfer was made"), std::string::npos) << message;
        EXPECT_EQ(message.find("\n\n\n"), std::string::npos) << "a double blank line";
        // A bare command would skip restricting who may run the program.
        EXPECT_EQ(message.find("setcap"), std::string::npos) << message;
    }
    qport_sim_refuse(QPORT_ACCESS_GRANTED);
    EXPECT_EQ(qport_access_status(), QPORT_ACCESS_GRANTED);
    EXPECT_EQ(qport_access_errno(), 0);
}

// One name a cause, as QPORT_SIM_REFUSE and the Python module spell them;
// past the last cause, none.
TEST(AccessNames, EachCauseHasOneNameAndNothingElseHasOne)
{
    const std::pair<qport_access, const char *> names[] = {
        {QPORT_ACCESS_GRANTED, "granted"},
        {QPORT_ACCESS_NO_PRIVILEGE, "no-privilege"},
        {QPORT_ACCESS_USER_NAMESPACE, "user-namespace"},
        {QPORT_ACCESS_LOCKDOWN, "lockdown"},
        {QPORT_ACCESS_NO_KERNEL_SUPPORT, "no-kernel-support"},
        {QPORT_ACCESS_NOT_X86, "not-x86"},
        {QPORT_ACCESS_OTHER, "other"},
        {QPORT_ACCESS_DROPPED, "dropped"},
        {QPORT_ACCESS_PARPORT_ONLY, "parport-only"},
    };
    for (const auto &[cause, name] : names)
        EXPECT_STREQ(qport_access_name(cause), name);
    EXPECT_EQ(qport_access_name(static_cast<qport_access>(std::size(names))), nullptr);
}

TEST_F(RefusedAccess, NoTransferReachesThePortsAndTheUserIsToldOnce)
{
    RecordingPresenter presenter;
    qport_sim_refuse(QPORT_ACCESS_NO_PRIVILEGE);
    EXPECT_EQ(inport(0x378), QPORT_REFUSED_READ);
    EXPECT_EQ(inportw(0x378), QPORT_REFUSED_READ);
    EXPECT_EQ(inportb(0x378), QPORT_REFUSED_READ);
    outport(0x378, 0x11111111);
    outportw(0x378, 0x2222);
    outportb(0x378, 0x33);
    EXPECT_EQ(outpb(0x378, 0x44), 1);
    EXPECT_EQ(inpb(0x378), 0);

    EXPECT_EQ(qport_sim_transfers(nullptr, 0), 0U);
    EXPECT_EQ(qport_sim_peek(0x378), 0x00) << "the data latch was never written";
    const auto notices = presenter.notices();
    ASSERT_EQ(notices.size(), 3U) << "one refusal notice, then the two withheld entry points' own";
    EXPECT_EQ(notices[0].title, "Port access refused");
    EXPECT_NE(notices[0].text.find("CAP_SYS_RAWIO"), std::string::npos);
    EXPECT_EQ(notices[1].title, "Function unavailable!");
    EXPECT_EQ(notices[2].title, "Function unavailable!");
}

TEST_F(RefusedAccess, ThreadsRefusedAtOnceTellTheUserOnce)
{
    RecordingPresenter presenter;
    qport_sim_refuse(QPORT_ACCESS_LOCKDOWN);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 100; ++i)
                EXPECT_EQ(inportw(0x378), QPORT_REFUSED_READ);
        });
    for (auto &thread : threads)
        thread.join();
    const auto notices = presenter.notices();
    ASSERT_EQ(notices.size(), 1U);
    EXPECT_EQ(notices[0].title, "Port access refused");
    EXPECT_EQ(qport_sim_transfers(nullptr, 0), 0U);
}

// A thread that gives its access up is refused from then on, and tells
// why; the other threads keep theirs.
TEST_F(RefusedAccess, ADroppedThreadIsRefusedAndTheOthersAreNot)
{
    RecordingPresenter presenter;
    std::thread dropping([] {
        ASSERT_EQ(qport_drop_access(), 0);
        EXPECT_EQ(qport_access_status(), QPORT_ACCESS_DROPPED);
        EXPECT_EQ(qport_access_errno(), 0);
        EXPECT_NE(std::string(qport_access_message()).find("qport_drop_access"), std::string::npos);
        outportb(0x378, 0x66);
        EXPECT_EQ(inportb(0x378), QPORT_REFUSED_READ);
    });
    dropping.join();
    EXPECT_EQ(qport_access_status(), QPORT_ACCESS_GRANTED);
    outportb(0x378, 0x77);
    EXPECT_EQ(inportb(0x378), 0x77);
    const auto notices = presenter.notices();
    ASSERT_EQ(notices.size(), 1U);
    EXPECT_EQ(notices[0].title, "Port access refused");
    EXPECT_EQ(qport_sim_transfers(nullptr, 0), 2U) << "only the other thread's two transfers";
}

} // namespace
