// SPDX-License-Identifier: LGPL-2.1-or-later
// The main window: a result label and the "Access &DLL" button, whose click
// runs the port exercise.
#ifndef QUORREL_TFORM1_H
#define QUORREL_TFORM1_H

#include <QWidget>

#include "port_exercise.h"

class QLabel;
class QPushButton;

class TForm1 : public QWidget, private quorrel::ExerciseWindow {
    Q_OBJECT

public:
    // Lays out the window and empties the label. Tests pass their own pause.
    explicit TForm1(QWidget *owner = nullptr, quorrel::Pause pause = quorrel::sleepCallingThread);

    QPushButton *Button1 = nullptr;
    QLabel *Label1;

    void Button1Click();

private:
    void setResultCaption(const char *caption) override;
    void repaintResultLabel() override;
    void repaintMainWindow() override;

    quorrel::Pause pause;
};

// The one main window, set by the entry function when it creates it.
extern TForm1 *Form1;

#endif
