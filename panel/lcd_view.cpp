// SPDX-License-Identifier: LGPL-2.1-or-later
#include "lcd_view.h"

#include <QFontDatabase>
#include <QPainter>
#include <QRegularExpression>

namespace panel {

LcdContent lcdContent(const QString &size, const QString &cursor, const QString &display,
                      const QStringList &lines)
{
    LcdContent content;
    const QStringList dimensions = size.split('x');
    int rows = 4;
    if (dimensions.size() == 2) {
        content.columns = std::clamp(dimensions[0].toInt(), 1, 40);
        rows = std::clamp(dimensions[1].toInt(), 1, 4);
    }
    for (int row = 0; row < rows; ++row) {
        const QString line = row < lines.size() ? lines[row] : QString();
        content.rows << line.leftJustified(content.columns, ' ', true);
    }
    static const QRegularExpression position(QStringLiteral("^(\\d+),(\\d+) (.*)$"));
    const QRegularExpressionMatch match = position.match(cursor);
    if (match.hasMatch() && !match.captured(3).contains(QStringLiteral("hidden"))) {
        content.cursorRow = match.captured(1).toInt() - 1;
        content.cursorColumn = match.captured(2).toInt() - 1;
        content.underline = match.captured(3).contains(QStringLiteral("underline"));
    }
    content.displayOn = display == QStringLiteral("on");
    return content;
}

LcdView::LcdView(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("lcd"));
    QFont cells = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    cells.setPointSizeF(cells.pointSizeF() * 1.5);
    setFont(cells);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void LcdView::setContent(const LcdContent &content)
{
    if (content == content_)
        return;
    const bool resized =
        content.columns != content_.columns || content.rows.size() != content_.rows.size();
    content_ = content;
    setAccessibleName(tr("Display: %1").arg(content.rows.join(QStringLiteral(" / "))));
    if (resized)
        updateGeometry();
    update();
}

QSize LcdView::cellSize() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(QChar('M')) + 2, metrics.height() + 4};
}

QSize LcdView::sizeHint() const
{
    const QSize cell = cellSize();
    const auto rows = static_cast<int>(std::max<qsizetype>(content_.rows.size(), 1));
    return {cell.width() * content_.columns + 16, cell.height() * rows + 16};
}

void LcdView::paintEvent(QPaintEvent * /*event*/)
{
    QPainter painter(this);
    // A green-grey glass with dark characters, as on the common modules;
    // the cells are drawn lighter than the glass so their grid shows.
    const QColor glass(0x9a, 0xb8, 0x4a);
    const QColor cellColour(0xa8, 0xc6, 0x58);
    const QColor ink(0x10, 0x20, 0x10);
    painter.fillRect(rect(), QColor(0x20, 0x20, 0x20));
    painter.fillRect(rect().adjusted(4, 4, -4, -4), glass);
    const QSize cell = cellSize();
    painter.setPen(ink);
    for (int row = 0; row < content_.rows.size(); ++row) {
        const QString &text = content_.rows[row];
        for (int column = 0; column < content_.columns; ++column) {
            const QRect box(8 + column * cell.width(), 8 + row * cell.height(), cell.width() - 1,
                            cell.height() - 1);
            painter.fillRect(box, cellColour);
            if (!content_.displayOn)
                continue;
            if (column < text.size())
                painter.drawText(box, Qt::AlignCenter, text.mid(column, 1));
            if (row == content_.cursorRow && column == content_.cursorColumn) {
                if (content_.underline)
                    painter.fillRect(box.left(), box.bottom() - 2, box.width(), 2, ink);
                else
                    painter.fillRect(box, QColor(0x10, 0x20, 0x10, 0x80));
            }
        }
    }
}

} // namespace panel
