// SPDX-License-Identifier: LGPL-2.1-or-later
// Notices, the presenter that shows them, and the withheld entry points.
#include <cerrno>
#include <mutex>
#include <string>

#include <unistd.h>

#include "qport.h"
#include "qport_ext.h"

#include "internal.h"

namespace qport {
namespace {

struct Presenter {
    qport_presenter show = qport_default_presenter;
    void *user_data = nullptr;
};

std::mutex presenter_mutex;
Presenter installed_presenter;

void write_all(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        done += static_cast<std::size_t>(written);
    }
}

// Waits for the end of a line on standard input, reading byte by byte so
// that nothing beyond it is taken from the program's own input. True once
// the user pressed Enter (or ended the input), false on an error.
bool wait_for_enter()
{
    for (;;) {
        char byte = 0;
        const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        if (byte == '\n')
            return true;
    }
}

} // namespace

int present_notice(const char *title, const char *text)
{
    Presenter presenter;
    {
        const std::lock_guard lock(presenter_mutex);
        presenter = installed_presenter;
    }
    // Called unlocked: a notice blocks, and notices from several threads are
    // independent of each other.
    return presenter.show(title, text, presenter.user_data);
}

} // namespace qport

extern "C" QPORT_EXPORT int qport_show_notice(const char *title, const char *text)
{
    return qport::present_notice(title, text);
}

extern "C" QPORT_EXPORT int qport_default_presenter(const char *title, const char *text, void *)
{
    // Waiting is only fair where the user can see the prompt and answer it.
    const bool interactive = ::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1;
    std::string notice = std::string("\n[") + title + "]\n" + text + "\n";
    if (interactive)
        notice += "(press Enter) ";
    qport::write_all(STDERR_FILENO, notice);
    if (!interactive)
        return 0;
    return qport::wait_for_enter() ? 1 : 0;
}

extern "C" QPORT_EXPORT void qport_set_presenter(qport_presenter presenter, void *user_data)
{
    const std::lock_guard lock(qport::presenter_mutex);
    if (presenter == nullptr)
        qport::installed_presenter = {};
    else
        qport::installed_presenter = {presenter, user_data};
}

QPORT_EXPORT int Message()
{
    return qport::present_notice("Operation Success!", "DLL successfully called.");
}

QPORT_EXPORT int Error1()
{
    return qport::present_notice("Function unavailable!",
                                 "This function is unavailable in this release.");
}

// The withheld entry points make their transfer first, so the hardware sees
// the access before the user sees the notice.
QPORT_EXPORT int inpb(short port)
{
    inportb(port);
    Error1();
    return 0;
}

QPORT_EXPORT int inpw(short port)
{
    inportw(port);
    Error1();
    return 0;
}

QPORT_EXPORT int outpb(short port, char value)
{
    outportb(port, value);
    return Error1();
}
