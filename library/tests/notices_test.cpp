// Notices, the withheld entry points and the default presenter.
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "qport.h"
#include "qport_sim.h"
#include "recording_presenter.h"

namespace {

std::size_t transfers_so_far() { return qport_sim_transfers(nullptr, 0); }

const char *const unavailable_title = "Function unavailable!";
const char *const unavailable_text = "This function is unavailable in this release.";

TEST(Notices, MessageAndError1ShowTheirTextsAndTitles)
{
    RecordingPresenter presenter;
    EXPECT_EQ(Message(), 1);
    EXPECT_EQ(Error1(), 1);
    EXPECT_EQ(Message(), 1);
    const auto notices = presenter.notices();
    ASSERT_EQ(notices.size(), 3U);
    EXPECT_EQ(notices[0].title, "Operation Success!");
    EXPECT_EQ(notices[0].text, "DLL successfully called.");
    EXPECT_EQ(notices[1].title, unavailable_title);
    EXPECT_EQ(notices[1].text, unavailable_text);
    EXPECT_EQ(notices[2].title, "Operation Success!");
}

// Each withheld entry point: its one transfer, then the notice, then 0.
TEST(Notices, WithheldEntryPointsTransferFirstThenTell)
{
    struct Case {
        const char *name;
        std::function<int()> call;
        qport_sim_transfer expected;
    };
    const Case cases[] = {
        {"inpb", [] { return inpb(0x300); }, {0, 'i', 8, 0x300, 0x5A}},
        {"inpw", [] { return inpw(0x300); }, {0, 'i', 16, 0x300, 0xFF5A}},
        {"outpb", [] { return outpb(0x378, 0x55) - 1; }, {0, 'o', 8, 0x378, 0x55}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        qport_sim_reset();
        qport_sim_preset(0x300, 0x5A);
        RecordingPresenter presenter(transfers_so_far);
        EXPECT_EQ(c.call(), 0);
        qport_sim_transfer transfer{};
        ASSERT_EQ(qport_sim_transfers(&transfer, 1), 1U);
        EXPECT_EQ(transfer.direction, c.expected.direction);
        EXPECT_EQ(transfer.width_bits, c.expected.width_bits);
        EXPECT_EQ(transfer.port, c.expected.port);
        EXPECT_EQ(transfer.value, c.expected.value);
        const auto notices = presenter.notices();
        ASSERT_EQ(notices.size(), 1U);
        EXPECT_EQ(notices[0].title, unavailable_title);
        EXPECT_EQ(notices[0].observed, 1U) << "the transfer came before the notice";
    }
    EXPECT_EQ(qport_sim_peek(0x378), 0x55);
}

// Runs `call` with standard input and standard error redirected, and hands
// back what it wrote to standard error.
template <typename Call> std::string with_redirected_stdio(int input, Call call)
{
    std::FILE *captured = std::tmpfile();
    const int saved_input = ::dup(STDIN_FILENO);
    const int saved_error = ::dup(STDERR_FILENO);
    ::dup2(input, STDIN_FILENO);
    ::dup2(::fileno(captured), STDERR_FILENO);
    call();
    ::dup2(saved_input, STDIN_FILENO);
    ::dup2(saved_error, STDERR_FILENO);
    ::close(saved_input);
    ::close(saved_error);
    std::string text;
    std::rewind(captured);
    for (int c = std::fgetc(captured); c != EOF; c = std::fgetc(captured))
        text += static_cast<char>(c);
    std::fclose(captured);
    return text;
}

TEST(DefaultPresenter, WithoutATerminalWritesTheNoticeAndReturnsAtOnce)
{
    const int no_terminal = ::open("/dev/null", O_RDONLY);
    int answer = -1;
    const std::string written = with_redirected_stdio(no_terminal, [&] { answer = Message(); });
    ::close(no_terminal);
    EXPECT_EQ(answer, 0) << "no box could be shown";
    EXPECT_NE(written.find("Operation Success!"), std::string::npos);
    EXPECT_NE(written.find("DLL successfully called."), std::string::npos);
    EXPECT_EQ(written.find("Enter"), std::string::npos);
}

TEST(DefaultPresenter, OnATerminalWaitsForEnterAndTakesNoMoreInput)
{
    int controller = -1;
    int terminal = -1;
    ASSERT_EQ(::openpty(&controller, &terminal, nullptr, nullptr, nullptr), 0);
    const std::string typed = "\nnext line\n";
    ASSERT_EQ(::write(controller, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));

    int answer = -1;
    const std::string written = with_redirected_stdio(terminal, [&] { answer = Error1(); });
    EXPECT_EQ(answer, 1);
    EXPECT_NE(written.find(unavailable_text), std::string::npos);
    EXPECT_NE(written.find("press Enter"), std::string::npos);

    // The line after the Enter is still there for the program.
    char rest[32] = {};
    ASSERT_GT(::read(terminal, rest, sizeof rest - 1), 0);
    EXPECT_STREQ(rest, "next line\n");
    ::close(terminal);
    ::close(controller);
}

} // namespace
