// SPDX-License-Identifier: LGPL-2.1-or-later
// The smallest Qt Widgets program that shows what Quorrel's window shows: a
// window of the same size with a label and a push button, nothing else.
// Quorrel's start-up time and memory are compared with it.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Form1"));
    window.resize(536, 348);
    QLabel label(QStringLiteral("Label1"), &window);
    label.move(360, 200);
    QPushButton button(QStringLiteral("Access &DLL"), &window);
    button.setGeometry(208, 192, 75, 25);
    window.show();
    return QApplication::exec();
}
