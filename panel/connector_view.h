// SPDX-License-Identifier: LGPL-2.1-or-later
// The parallel port's 25-pin connector as it is laid out, pins 1-13 over
// 14-25, each signal pin a lamp (or, with the switches plugged in, a switch
// on each status line), and beside it the three registers in hex and
// binary.
#ifndef QPORT_PANEL_CONNECTOR_VIEW_H
#define QPORT_PANEL_CONNECTOR_VIEW_H

#include <QGroupBox>
#include <array>

#include "pins.h"

class QLabel;

namespace panel {

class PinWidget;

class ConnectorView : public QGroupBox {
    Q_OBJECT

public:
    explicit ConnectorView(QWidget *parent = nullptr);

    // The port at base with these registers; switchable when the switches
    // are on its status lines. A port that is disabled shows no levels.
    void showPort(std::uint16_t base, const Registers &registers, bool switchable);
    void showDisabled();
    PinWidget *pinWidget(int number) const;
    // The input pins in the order Tab visits them.
    QList<QWidget *> focusChain() const;

signals:
    void flipRequested(const panel::Pin &pin, bool high);

private:
    std::array<PinWidget *, signalPins.size()> pins_{};
    std::array<QLabel *, 3> registerLabels_{};
    std::array<QLabel *, 3> registerNames_{};
    std::uint16_t base_ = 0;
    bool showing_ = false;
};

// "0x55  0101 0101": a register in hex and in binary, one nibble a group.
QString registerText(std::uint8_t value);

} // namespace panel

#endif
