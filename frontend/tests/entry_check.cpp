// SPDX-License-Identifier: LGPL-2.1-or-later
// Runs the program's entry function as it is, with a window factory and an
// exception display made for each case, and checks what it returns and
// shows. Exits 0 when the case behaves, 1 otherwise.
//   quorrel_entry_check form-creation-throws|handler-throws|close-during-notice
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "application.h"
#include "notice_box.h"
#include "tform1.h"

namespace {

std::vector<std::string> shownExceptions;

void recordException(const std::exception &exception)
{
    shownExceptions.emplace_back(exception.what());
}

bool check(bool condition, const char *what)
{
    std::printf("%s: %s\n", condition ? "ok" : "FAILED", what);
    return condition;
}

std::unique_ptr<TForm1> formWithoutPauses()
{
    return std::make_unique<TForm1>(nullptr, [](std::chrono::milliseconds) {});
}

int formCreationThrows(int &argc, char **argv)
{
    bool loopRan = false;
    const int result = quorrel::runApplication(
        argc, argv,
        [&]() -> std::unique_ptr<TForm1> {
            QTimer::singleShot(0, [&] { loopRan = true; });
            throw std::runtime_error("form creation failed");
        },
        recordException);
    bool ok = check(result == 0, "returns 0");
    ok &= check(shownExceptions == std::vector<std::string>{"form creation failed"}, "shown once");
    ok &= check(!loopRan, "no event loop after it");
    return ok ? 0 : 1;
}

int handlerThrows(int &argc, char **argv)
{
    bool closedAfterwards = false;
    const int result = quorrel::runApplication(
        argc, argv,
        [&] {
            auto form = formWithoutPauses();
            QTimer::singleShot(0, [] { throw std::runtime_error("handler failed"); });
            QTimer::singleShot(50, [&] {
                closedAfterwards = Form1->isVisible();
                Form1->close();
            });
            return form;
        },
        recordException);
    bool ok = check(result == 0, "returns 0");
    ok &= check(shownExceptions == std::vector<std::string>{"handler failed"}, "shown once");
    ok &= check(closedAfterwards, "the window stayed open and was closed afterwards");
    return ok ? 0 : 1;
}

int closeDuringNotice(int &argc, char **argv)
{
    qport_set_presenter(showNoticeBox, nullptr);
    bool noticeWasOpen = false;
    const int result = quorrel::runApplication(
        argc, argv,
        [&] {
            auto form = formWithoutPauses();
            QTimer::singleShot(0, [&] {
                // Fires inside the notice's own event loop.
                QTimer::singleShot(100, [&] {
                    for (QWidget *widget : QApplication::topLevelWidgets())
                        noticeWasOpen |=
                            qobject_cast<QMessageBox *>(widget) != nullptr && widget->isVisible();
                    Form1->close();
                });
                Form1->Button1->click();
            });
            return form;
        },
        recordException);
    bool ok = check(result == 0, "returns 0");
    ok &= check(noticeWasOpen, "the notice was open when the window closed");
    ok &= check(shownExceptions.empty(), "no exception");
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string which = argc > 1 ? argv[1] : "";
    if (which == "form-creation-throws")
        return formCreationThrows(argc, argv);
    if (which == "handler-throws")
        return handlerThrows(argc, argv);
    if (which == "close-during-notice")
        return closeDuringNotice(argc, argv);
    std::fprintf(stderr, "usage: %s form-creation-throws|handler-throws|close-during-notice\n",
                 argv[0]);
    return 2;
}
