// SPDX-License-Identifier: LGPL-2.1-or-later
// The exercise on the simulated port space, with a window that records what
// is asked of it.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "port_exercise.h"
#include "qport_sim.h"
#include "quorrel_notices.h"

namespace {

using namespace std::chrono_literals;

size_t transferCount() { return qport_sim_transfers(nullptr, 0); }

std::vector<qport_sim_transfer> recordedTransfers()
{
    std::vector<qport_sim_transfer> transfers(transferCount());
    qport_sim_transfers(transfers.data(), transfers.size());
    return transfers;
}

// Each step as "<transfers made so far>: <what>", so the order of window
// operations, pauses and transfers is one list.
class StepLog : public quorrel::ExerciseWindow {
public:
    std::vector<std::string> steps;

    void setResultCaption(const char *caption) override { add(std::string("caption ") + caption); }
    void repaintResultLabel() override { add("repaint label"); }
    void repaintMainWindow() override { add("repaint main window"); }
    quorrel::Pause pause()
    {
        return [this](std::chrono::milliseconds duration) {
            add("pause " + std::to_string(duration.count()));
        };
    }
    void add(const std::string &what)
    {
        steps.push_back(std::to_string(transferCount()) + ": " + what);
    }
};

class PortExercise : public testing::Test {
protected:
    void SetUp() override
    {
        qport_sim_refuse(QPORT_ACCESS_GRANTED);
        qport_sim_reset();
    }
    void TearDown() override { qport_sim_refuse(QPORT_ACCESS_GRANTED); }

    RecordingPresenter presenter;
    StepLog window;
};

TEST(Captions, RenderEachWidthWithItsSignAndNothingElse)
{
    const struct {
        std::string rendered;
        const char *expected;
    } cases[] = {
        {quorrel::caption32(INT_MIN), "-2147483648"},
        {quorrel::caption32(INT_MAX), "2147483647"},
        {quorrel::caption32(-1), "-1"},
        {quorrel::caption32(0), "0"},
        {quorrel::caption16(SHRT_MIN), "-32768"},
        {quorrel::caption16(-1), "-1"},
        {quorrel::caption16(0x00FF), "255"},
        {quorrel::caption16(SHRT_MAX), "32767"},
        {quorrel::caption8(-128), "-128"},
        {quorrel::caption8(-1), "-1"},
        {quorrel::caption8(127), "127"},
        {quorrel::caption8(0), "0"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.rendered, c.expected);
}

TEST_F(PortExercise, ShowsPausesAndTransfersInTheFixedOrder)
{
    quorrel::runPortExercise(window, window.pause());

    // From reset: 0x378..0x37B read 00 7f ec ff; the 32-bit write leaves the
    // latch at ff and the 16-bit write leaves it at 00.
    // One row per value shown.
    // clang-format off
    const std::vector<std::string> expectedSteps{
        "1: caption -1278208",   "1: repaint label",  "1: pause 200",
        "3: caption 32767",      "3: repaint label",  "3: repaint main window", "3: pause 200",
        "5: caption 0",          "5: repaint label",  "5: repaint main window", "5: pause 200",
    };
    // clang-format on
    EXPECT_EQ(window.steps, expectedSteps);

    const struct {
        char direction;
        unsigned width;
        unsigned port;
        uint32_t value;
    } expectedTransfers[] = {
        {'i', 32, 0x378, 0xFFEC7F00}, {'o', 32, 0x378, 0x00FFFFFF}, {'i', 16, 0x378, 0x7FFF},
        {'o', 16, 0x378, 0xFF00},     {'i', 8, 0x378, 0x00},        {'o', 8, 0x457A, 0xDA},
    };
    const auto transfers = recordedTransfers();
    ASSERT_EQ(transfers.size(), std::size(expectedTransfers));
    for (size_t i = 0; i < transfers.size(); ++i) {
        SCOPED_TRACE("transfer " + std::to_string(i));
        EXPECT_EQ(transfers[i].direction, expectedTransfers[i].direction);
        EXPECT_EQ(transfers[i].width_bits, expectedTransfers[i].width);
        EXPECT_EQ(transfers[i].port, expectedTransfers[i].port);
        EXPECT_EQ(transfers[i].value, expectedTransfers[i].value);
    }
    EXPECT_EQ(presenter.notices(), std::vector{successNotice});
}

TEST_F(PortExercise, EndsWithTheSuccessNoticeAfterTheLastWrite)
{
    size_t transfersWhenNoticeShown = 0;
    presenter.while_open = [&](const RecordedNotice &) {
        transfersWhenNoticeShown = transferCount();
    };
    quorrel::runPortExercise(window, window.pause());
    EXPECT_EQ(transfersWhenNoticeShown, 6u);
}

TEST_F(PortExercise, EachWriteFollowsAFullPause)
{
    quorrel::runPortExercise(window, quorrel::sleepCallingThread);

    const auto transfers = recordedTransfers();
    ASSERT_EQ(transfers.size(), 6u);
    for (size_t read : {0u, 2u, 4u}) {
        SCOPED_TRACE("after read " + std::to_string(read));
        const auto gap =
            std::chrono::nanoseconds(transfers[read + 1].time_ns - transfers[read].time_ns);
        EXPECT_GE(gap, 200ms);
    }
}

TEST_F(PortExercise, RefusedAccessShowsWhyAndMakesNoTransfer)
{
    for (const auto cause :
         {QPORT_ACCESS_NO_PRIVILEGE, QPORT_ACCESS_USER_NAMESPACE, QPORT_ACCESS_LOCKDOWN,
          QPORT_ACCESS_NO_KERNEL_SUPPORT, QPORT_ACCESS_NOT_X86, QPORT_ACCESS_OTHER}) {
        SCOPED_TRACE("cause " + std::to_string(cause));
        qport_sim_refuse(cause);
        presenter.clear();
        window.steps.clear();

        quorrel::runPortExerciseIfPermitted(window, window.pause());

        const std::string why = qport_access_message();
        EXPECT_FALSE(why.empty());
        EXPECT_EQ(presenter.notices(),
                  (std::vector<RecordedNotice>{{quorrel::accessRefusedTitle, why}}));
        EXPECT_TRUE(window.steps.empty());
        EXPECT_EQ(transferCount(), 0u);
    }
}

TEST_F(PortExercise, GrantedAccessRunsTheExercise)
{
    quorrel::runPortExerciseIfPermitted(window, window.pause());
    EXPECT_EQ(transferCount(), 6u);
    EXPECT_EQ(presenter.notices(), std::vector{successNotice});
}

} // namespace

namespace {

// Meant for a run with QPORT_SIM_REFUSE set (CTest's second run of this
// program), as a machine without port access looks to the library from the
// moment it is loaded.
TEST(RefusedFromEnvironment, ShowsWhyAndMakesNoTransfer)
{
    if (std::getenv("QPORT_SIM_REFUSE") == nullptr)
        GTEST_SKIP() << "needs QPORT_SIM_REFUSE, as CTest runs it";
    ASSERT_NE(qport_access_status(), QPORT_ACCESS_GRANTED);
    RecordingPresenter presenter;
    StepLog window;

    quorrel::runPortExerciseIfPermitted(window, window.pause());

    ASSERT_EQ(presenter.notices().size(), 1u);
    EXPECT_EQ(presenter.notices()[0].title, quorrel::accessRefusedTitle);
    EXPECT_EQ(presenter.notices()[0].text, qport_access_message());
    EXPECT_TRUE(window.steps.empty());
    EXPECT_EQ(transferCount(), 0u);
}

} // namespace
