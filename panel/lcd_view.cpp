// SPDX-License-Identifier: LGPL-2.1-or-later
#include "lcd_view.h"

#include <QFontDatabase>
#include <QPainter>
#include <QRegularExpression>
#include <algorithm>

namespace panel {

std::optional<int> customCharacter(QChar shown)
{
    // ⓪ stands apart from ① .. ⑦ in Unicode.
    if (shown == QChar(0x24EA))
        return 0;
    if (shown.unicode() >= 0x2460 && shown.unicode() <= 0x2466)
        return shown.unicode() - 0x2460 + 1;
    return std::nullopt;
}

LcdContent lcdContent(const QString &size, const QString &cursor, const QString &display,
                      const QStringList &lines, const QString &cgram)
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
    const QStringList characters = cgram.split(' ', Qt::SkipEmptyParts);
    const auto glyphCount = static_cast<qsizetype>(content.glyphs.size());
    for (qsizetype character = 0; character < std::min(characters.size(), glyphCount);
         ++character) {
        const QString &bitmap = characters[character];
        Glyph &glyph = content.glyphs[static_cast<std::size_t>(character)];
        const auto glyphRows = static_cast<qsizetype>(glyph.size());
        for (qsizetype row = 0; row < std::min(bitmap.size() / 2, glyphRows); ++row)
            glyph[static_cast<std::size_t>(row)] =
                static_cast<std::uint8_t>(bitmap.mid(row * 2, 2).toUInt(nullptr, 16) & 0x1F);
    }
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

int LcdView::dotPitch() const
{
    const QFontMetrics metrics(font());
    return std::max({2, metrics.height() / 7, (metrics.horizontalAdvance(QChar('M')) + 2) / 6});
}

QSize LcdView::cellSize() const
{
    const int pitch = dotPitch();
    return {pitch * 6, pitch * 9};
}

QRect LcdView::cellRect(int row, int column) const
{
    const QSize cell = cellSize();
    return {8 + column * cell.width(), 8 + row * cell.height(), cell.width() - 1,
            cell.height() - 1};
}

QRect LcdView::dotRect(const QRect &cell, int dotRow, int dotColumn) const
{
    // Dots a pixel apart once they are big enough to spare it.
    const int pitch = dotPitch();
    const int gap = pitch >= 3 ? 1 : 0;
    return {cell.left() + pitch / 2 + dotColumn * pitch, cell.top() + pitch / 2 + dotRow * pitch,
            pitch - gap, pitch - gap};
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
    const QColor ink = inkColour();
    painter.fillRect(rect(), QColor(0x20, 0x20, 0x20));
    painter.fillRect(rect().adjusted(4, 4, -4, -4), glass);
    painter.setPen(ink);
    for (int row = 0; row < content_.rows.size(); ++row) {
        const QString &text = content_.rows[row];
        for (int column = 0; column < content_.columns; ++column) {
            const QRect box = cellRect(row, column);
            painter.fillRect(box, cellColour());
            if (!content_.displayOn)
                continue;
            if (column < text.size()) {
                if (const std::optional<int> custom = customCharacter(text[column])) {
                    const Glyph &glyph = content_.glyphs[static_cast<std::size_t>(*custom)];
                    for (int dotRow = 0; dotRow < static_cast<int>(glyph.size()); ++dotRow)
                        for (int dotColumn = 0; dotColumn < 5; ++dotColumn)
                            if ((glyph[static_cast<std::size_t>(dotRow)] >> (4 - dotColumn) & 1) !=
                                0)
                                painter.fillRect(dotRect(box, dotRow, dotColumn), ink);
                } else {
                    painter.drawText(box, Qt::AlignCenter, text.mid(column, 1));
                }
            }
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
