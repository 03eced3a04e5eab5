// SPDX-License-Identifier: LGPL-2.1-or-later
// An HD44780 character display: its rows in a grid of character cells,
// with the cursor where the chip has it. The ROM's characters are drawn
// from the font; the eight the program defines in CGRAM dot by dot, from
// their bitmaps, as the glass shows them.
#ifndef QPORT_PANEL_LCD_VIEW_H
#define QPORT_PANEL_LCD_VIEW_H

#include <QWidget>
#include <array>
#include <cstdint>
#include <optional>

namespace panel {

// A CGRAM character's eight rows of five dots (bit 4 the leftmost).
using Glyph = std::array<std::uint8_t, 8>;

struct LcdContent {
    int columns = 20;
    QStringList rows;   // one text a row, padded to columns
    int cursorRow = -1; // from 0; -1 off-screen or hidden
    int cursorColumn = -1;
    bool underline = false; // else a blinking block
    bool displayOn = false;
    std::array<Glyph, 8> glyphs{}; // CGRAM, characters 0..7
    bool operator==(const LcdContent &) const = default;
};

// The display's state from its properties: size "20x4", cursor "2,5
// underline blinking" ("off-screen hidden"), display "on", rows line1...,
// cgram "1f11111111111f00 0e00..." (eight groups of 16 hex digits).
LcdContent lcdContent(const QString &size, const QString &cursor, const QString &display,
                      const QStringList &lines, const QString &cgram);

// The CGRAM character a row's text shows as ⓪..⑦, if it is one.
std::optional<int> customCharacter(QChar shown);

class LcdView : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString text READ text)

public:
    explicit LcdView(QWidget *parent = nullptr);
    void setContent(const LcdContent &content);
    // The rows, one a line.
    QString text() const { return content_.rows.join('\n'); }
    QSize sizeHint() const override;
    // Where a character cell is, and a dot of a CGRAM character in it.
    QRect cellRect(int row, int column) const;
    QRect dotRect(const QRect &cell, int dotRow, int dotColumn) const;
    static QColor inkColour() { return {0x10, 0x20, 0x10}; }
    static QColor cellColour() { return {0xa8, 0xc6, 0x58}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // The size of one dot: a cell is five dots and a gap wide, eight and a
    // gap high, as on the glass.
    int dotPitch() const;
    QSize cellSize() const;
    LcdContent content_;
};

} // namespace panel

#endif
