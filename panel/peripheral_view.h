// SPDX-License-Identifier: LGPL-2.1-or-later
// What is plugged into the parallel port, drawn as itself: the LCD's glass,
// the printer's paper, the loopback plug's wires, the JTAG target's test
// access port, the box of switches, or the empty connector.
#ifndef QPORT_PANEL_PERIPHERAL_VIEW_H
#define QPORT_PANEL_PERIPHERAL_VIEW_H

#include <QGroupBox>

#include "machine.h"

class QLabel;
class QPlainTextEdit;
class QStackedLayout;

namespace panel {

class LcdView;

class PeripheralView : public QGroupBox {
    Q_OBJECT

public:
    explicit PeripheralView(QWidget *parent = nullptr);
    // The peripheral lpt1 names, with its properties and the port's lines.
    void showPeripheral(const Device &port, const Registers &registers);
    LcdView *lcd() const { return lcd_; }
    QPlainTextEdit *paper() const { return paper_; }

private:
    QStackedLayout *pages_ = nullptr;
    QWidget *nonePage_ = nullptr;
    QWidget *loopbackPage_ = nullptr;
    QLabel *loopbackWires_ = nullptr;
    QWidget *printerPage_ = nullptr;
    QLabel *printedBytes_ = nullptr;
    QPlainTextEdit *paper_ = nullptr;
    QWidget *switchesPage_ = nullptr;
    QWidget *lcdPage_ = nullptr;
    LcdView *lcd_ = nullptr;
    QLabel *lcdDetails_ = nullptr;
    QWidget *jtagPage_ = nullptr;
    QLabel *jtagDetails_ = nullptr;
    std::string shownPaper_;
};

// The loopback plug's five wires, each with the level on it: "1 nStrobe
// → 13 Select: H".
QStringList loopbackWires(const Registers &registers);

} // namespace panel

#endif
