// SPDX-License-Identifier: LGPL-2.1-or-later
// Linked into Quorrel together with first_paint.cpp: once the window is
// painted, clicks "Access DLL" as a user would, and the program ends when
// the click's handler returns. Notices are dismissed at once, so the run
// needs no one to answer them. With QPORT_TRACE set on the simulated build,
// the trace holds the whole sequence and its pauses.
#include <cstdio>

#include <QApplication>
#include <QPushButton>
#include <QWidget>

#include "first_paint.h"
#include "port_exercise.h"

namespace {

int dismiss_notice(const char *, const char *, void *) { return 1; }

void click_button1()
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (auto *button = window->findChild<QPushButton *>(QStringLiteral("Button1"))) {
            button->click();
            return;
        }
    }
    std::fprintf(stderr, "click_button1: no button named Button1\n");
    QCoreApplication::exit(1);
}

void click_after_first_paint()
{
    qport_set_presenter(dismiss_notice, nullptr);
    afterFirstPaint() = click_button1;
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(click_after_first_paint)
