// SPDX-License-Identifier: LGPL-2.1-or-later
#include "tform1.h"

#include <QFont>
#include <QLabel>
#include <QPushButton>

#include "display_sync.h"
#include "outer_bounds.h"

TForm1 *Form1 = nullptr;

namespace {

// The layout of TFORM1: the window's outer bounds (frame included) and the
// controls' places in its client area.
constexpr QRect formOuterBounds{192, 103, 544, 375};
constexpr QPoint label1Position{360, 200};
constexpr QRect button1Bounds{208, 192, 75, 25};
constexpr int fontPixelHeight = 11;

QFont formFont()
{
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(fontPixelHeight);
    return font;
}

} // namespace

TForm1::TForm1(QWidget *owner, quorrel::Pause pauseAfterValue)
    : QWidget(owner), Label1(new QLabel(QStringLiteral("Label1"), this)),
      pause(std::move(pauseAfterValue))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));
    setFont(formFont());
    keepOuterBounds(*this, formOuterBounds);

    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(label1Position);

    Button1 = new QPushButton(QStringLiteral("Access &DLL"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(button1Bounds);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);

    setResultCaption("");
}

void TForm1::Button1Click() { quorrel::runPortExerciseIfPermitted(*this, pause); }

void TForm1::setResultCaption(const char *caption)
{
    // The label sizes itself to its text from its top-left corner, so no
    // caption is cut off; the area a longer caption leaves behind is
    // repainted with the window's background, or its digits would linger.
    const QRect before = Label1->geometry();
    Label1->setText(QString::fromUtf8(caption));
    Label1->adjustSize();
    if (!Label1->geometry().contains(before))
        repaint(before);
}

void TForm1::repaintResultLabel()
{
    Label1->repaint();
    waitUntilDisplayed();
}

void TForm1::repaintMainWindow()
{
    Form1->repaint();
    waitUntilDisplayed();
}
