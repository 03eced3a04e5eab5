// SPDX-License-Identifier: LGPL-2.1-or-later
#include "notice_box.h"

#include <QApplication>
#include <QEventLoop>
#include <QGridLayout>
#include <QMessageBox>
#include <QStringList>

namespace {

// Room in a title bar besides the title: the window's icon and buttons.
constexpr int titleBarControlsWidth = 120;

// A message box sizes itself to its text, and a window manager cuts a title
// wider than the box ("Oper... cess!"); a spacer keeps the title readable.
void makeRoomForTitle(QMessageBox &box)
{
    auto *grid = qobject_cast<QGridLayout *>(box.layout());
    if (grid == nullptr)
        return;
    const int width =
        box.fontMetrics().horizontalAdvance(box.windowTitle()) + titleBarControlsWidth;
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

// A notice's text as rich text: its paragraphs wrap to the box, but a line
// indented by four spaces is a command to copy, such as
//     sudo setcap cap_sys_rawio+ep /path/to/program
// and stays whole on one line, however long its path; any break in it would
// come at a slash or hyphen and read as part of the command. Blank lines
// only separate paragraphs, however many there are.
QString noticeHtml(const QString &text)
{
    QString html;
    QStringList paragraph;
    const auto endParagraph = [&] {
        if (!paragraph.isEmpty())
            html += QStringLiteral("<p>") + paragraph.join(QStringLiteral("<br>")) +
                    QStringLiteral("</p>");
        paragraph.clear();
    };
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("    "))) {
            endParagraph();
            html += QStringLiteral("<p style=\"white-space:pre\">") + line.toHtmlEscaped() +
                    QStringLiteral("</p>");
        } else if (line.trimmed().isEmpty()) {
            endParagraph();
        } else {
            paragraph << line.toHtmlEscaped();
        }
    }
    endParagraph();
    return html;
}

} // namespace

int showNoticeBox(const char *title, const char *text, void * /*userData*/)
{
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(title),
                    noticeHtml(QString::fromUtf8(text)), QMessageBox::Ok);
    box.setTextFormat(Qt::RichText);
    // A command in the text can be selected and copied.
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // exec() would make the box modal to the whole application; a box owned
    // by no window disables none, so it is shown modeless and waited for.
    box.setWindowModality(Qt::NonModal);
    // Closing the main window ends the program even while a notice is open.
    box.setAttribute(Qt::WA_QuitOnClose, false);
    makeRoomForTitle(box);
    QEventLoop untilDismissed;
    QObject::connect(&box, &QMessageBox::finished, &untilDismissed, &QEventLoop::quit);
    box.show();
    untilDismissed.exec();
    return 1;
}

void showExceptionBox(const std::exception &exception)
{
    QMessageBox::critical(nullptr, QApplication::applicationName(),
                          QString::fromLocal8Bit(exception.what()));
}
