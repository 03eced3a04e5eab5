// SPDX-License-Identifier: LGPL-2.1-or-later
// One signal pin of the connector: its number and name over a lamp showing
// its line's level. An output's lamp is round, an input's square; a high
// line is a filled, lit lamp marked H, a low one a dark ring marked L, so
// that the level reads without telling colours apart. An input pin whose
// line a switch drives can be flipped with the mouse, or with Space once it
// has the focus.
#ifndef QPORT_PANEL_PIN_WIDGET_H
#define QPORT_PANEL_PIN_WIDGET_H

#include <QAbstractButton>

#include "pins.h"

namespace panel {

class PinWidget : public QAbstractButton {
    Q_OBJECT
    Q_PROPERTY(bool high READ isHigh)
    Q_PROPERTY(bool switchable READ isSwitchable)

public:
    explicit PinWidget(const Pin &pin, QWidget *parent = nullptr);

    const Pin &pin() const { return pin_; }
    bool isHigh() const { return high_; }
    bool isSwitchable() const { return switchable_; }
    void setLevel(bool high, bool switchable);
    // The centre of the lamp, in the widget's coordinates.
    QPoint lampCentre() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

signals:
    // The user asks for the line at this level.
    void flipRequested(const panel::Pin &pin, bool high);

protected:
    void paintEvent(QPaintEvent *event) override;
    bool hitButton(const QPoint &pos) const override;

private:
    void describe();
    QRect lampRect() const;

    Pin pin_;
    bool high_ = false;
    bool switchable_ = false;
};

// The colours of a lamp; not told apart by hue alone (see above).
QColor litColour();
QColor darkColour();

} // namespace panel

#endif
