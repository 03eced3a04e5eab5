// SPDX-License-Identifier: LGPL-2.1-or-later
// An HD44780 character display: its rows in a grid of character cells,
// with the cursor where the chip has it.
#ifndef QPORT_PANEL_LCD_VIEW_H
#define QPORT_PANEL_LCD_VIEW_H

#include <QWidget>

namespace panel {

struct LcdContent {
    int columns = 20;
    QStringList rows;   // one text a row, padded to columns
    int cursorRow = -1; // from 0; -1 off-screen or hidden
    int cursorColumn = -1;
    bool underline = false; // else a blinking block
    bool displayOn = false;
    bool operator==(const LcdContent &) const = default;
};

// The display's state from its properties: size "20x4", cursor "2,5
// underline blinking" ("off-screen hidden"), display "on", rows line1...
LcdContent lcdContent(const QString &size, const QString &cursor, const QString &display,
                      const QStringList &lines);

class LcdView : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString text READ text)

public:
    explicit LcdView(QWidget *parent = nullptr);
    void setContent(const LcdContent &content);
    // The rows, one a line.
    QString text() const { return content_.rows.join('\n'); }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QSize cellSize() const;
    LcdContent content_;
};

} // namespace panel

#endif
