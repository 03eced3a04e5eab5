// SPDX-License-Identifier: LGPL-2.1-or-later
// Notices, the withheld entry points and the default presenter.
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fresh_machine.h"
#include "qport.h"
#include "qport_sim.h"
#include "recording_presenter.h"

namespace {

using Notices = FreshMachine;
using DefaultPresenter = FreshMachine;

std::size_t transfers_so_far() { return qport_sim_transfers(nullptr, 0); }

const char *const unavailable_title = "Function unavailable!";
const char *const unavailable_text = "This function is unavailable in this release.";

TEST_F(Notices, MessageAndError1ShowTheirTextsAndTitles)
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
TEST_F(Notices, WithheldEntryPointsTransferFirstThenTell)
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

// Runs `call` with standard input and standard error on the given
// descriptors.
template <typename Call> void with_stdio(int input, int error_output, Call call)
{
    const int saved_input = ::dup(STDIN_FILENO);
    const int saved_error = ::dup(STDERR_FILENO);
    ::dup2(input, STDIN_FILENO);
    ::dup2(error_output, STDERR_FILENO);
    call();
    ::dup2(saved_input, STDIN_FILENO);
    ::dup2(saved_error, STDERR_FILENO);
    ::close(saved_input);
    ::close(saved_error);
}

std::string read_available(int fd)
{
    std::string text;
    char buffer[512];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t got = 0; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

// The default presenter waits for Enter only where the user can both see the
// prompt (standard error) and answer it (standard input).
TEST_F(DefaultPresenter, WaitsForEnterOnlyWhereThePromptCanBeSeenAndAnswered)
{
    struct Case {
        const char *name;
        bool input_is_terminal;
        bool error_is_terminal;
        int answer;
    };
    const Case cases[] = {
        {"no terminal", false, false, 0},
        {"input on a terminal, the prompt into a file", true, false, 0},
        {"input and prompt on a terminal", true, true, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int controller = -1;
        int terminal = -1;
        ASSERT_EQ(::openpty(&controller, &terminal, nullptr, nullptr, nullptr), 0);
        const int fcntl_flags = ::fcntl(controller, F_GETFL);
        ::fcntl(controller, F_SETFL, fcntl_flags | O_NONBLOCK);
        const std::string typed = "\nnext line\n";
        ASSERT_EQ(::write(controller, typed.data(), typed.size()),
                  static_cast<ssize_t>(typed.size()));
        const int null_input = ::open("/dev/null", O_RDONLY);
        std::FILE *file = std::tmpfile();
        const int input = c.input_is_terminal ? terminal : null_input;
        const int error_output = c.error_is_terminal ? terminal : ::fileno(file);

        int answer = -1;
        with_stdio(input, error_output, [&] { answer = Error1(); });
        const std::string written =
            c.error_is_terminal ? read_available(controller) : read_available(::fileno(file));
        EXPECT_EQ(answer, c.answer);
        EXPECT_NE(written.find(unavailable_text), std::string::npos) << written;
        EXPECT_EQ(written.find("press Enter") != std::string::npos, c.answer == 1) << written;
        if (c.input_is_terminal) {
            // Only the Enter was taken: the next line is still the program's.
            char rest[32] = {};
            ASSERT_GT(::read(terminal, rest, sizeof rest - 1), 0);
            EXPECT_STREQ(rest, c.answer == 1 ? "next line\n" : "\n");
        }
        std::fclose(file);
        ::close(null_input);
        ::close(terminal);
        ::close(controller);
    }
}

} // namespace
