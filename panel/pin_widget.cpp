// SPDX-License-Identifier: LGPL-2.1-or-later
#include "pin_widget.h"

#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

namespace panel {

QColor litColour() { return {0xff, 0xc4, 0x20}; }
QColor darkColour() { return {0x30, 0x30, 0x38}; }

PinWidget::PinWidget(const Pin &pin, QWidget *parent) : QAbstractButton(parent), pin_(pin)
{
    setObjectName(QStringLiteral("pin%1").arg(pin.number));
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (switchable_)
            emit flipRequested(pin_, !high_);
    });
    describe();
}

void PinWidget::setLevel(bool high, bool switchable)
{
    if (high == high_ && switchable == switchable_)
        return;
    high_ = high;
    if (switchable != switchable_) {
        switchable_ = switchable;
        setFocusPolicy(switchable ? Qt::StrongFocus : Qt::NoFocus);
        setCursor(switchable ? Qt::PointingHandCursor : Qt::ArrowCursor);
    }
    describe();
    update();
}

void PinWidget::describe()
{
    const QString level = high_ ? tr("high") : tr("low");
    const QString kind = pin_.isOutput() ? tr("output") : switchable_ ? tr("switch") : tr("input");
    setAccessibleName(
        QStringLiteral("%1 %2 %3")
            .arg(pin_.number)
            .arg(QString::fromLatin1(pin_.name.data(), static_cast<qsizetype>(pin_.name.size())))
            .arg(level));
    setAccessibleDescription(kind);
    setToolTip(
        tr("Pin %1, %2 (%3): line %4%5")
            .arg(pin_.number)
            .arg(QString::fromLatin1(pin_.name.data(), static_cast<qsizetype>(pin_.name.size())))
            .arg(kind)
            .arg(level)
            .arg(switchable_ ? tr(", click or press Space to flip") : QString()));
}

QSize PinWidget::sizeHint() const
{
    QFont nameFont = font();
    nameFont.setBold(true);
    const QFontMetrics metrics(nameFont);
    const int width =
        std::max(metrics.horizontalAdvance(QStringLiteral("nAutoFeed")) + 6, metrics.height() * 3);
    return {width, metrics.height() * 5};
}

QRect PinWidget::lampRect() const
{
    const QFontMetrics metrics(font());
    const int side = metrics.height() * 2;
    return {(width() - side) / 2, metrics.height() * 2 + 4, side, side};
}

QPoint PinWidget::lampCentre() const { return lampRect().center(); }

bool PinWidget::hitButton(const QPoint &pos) const { return switchable_ && rect().contains(pos); }

void PinWidget::paintEvent(QPaintEvent * /*event*/)
{
    QStylePainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QFontMetrics metrics(font());
    const QPalette &colours = palette();
    painter.setPen(colours.color(QPalette::WindowText));
    painter.drawText(QRect(0, 0, width(), metrics.height()), Qt::AlignCenter,
                     QString::number(pin_.number));
    QFont nameFont = font();
    nameFont.setBold(true);
    painter.setFont(nameFont);
    painter.drawText(
        QRect(0, metrics.height(), width(), metrics.height()), Qt::AlignCenter,
        QString::fromLatin1(pin_.name.data(), static_cast<qsizetype>(pin_.name.size())));

    const QRect lamp = lampRect();
    const qreal outline = std::max(2.0, metrics.height() / 8.0);
    painter.setPen(
        QPen(high_ ? QColor(0x60, 0x40, 0x00) : colours.color(QPalette::WindowText), outline));
    painter.setBrush(high_ ? litColour() : darkColour());
    const QRectF shape = QRectF(lamp).adjusted(outline, outline, -outline, -outline);
    if (pin_.isOutput())
        painter.drawEllipse(shape);
    else
        painter.drawRoundedRect(shape, outline, outline);
    if (switchable_) {
        // A lever: up for high, down for low.
        const QRectF lever(shape.left() + shape.width() / 3,
                           high_ ? shape.top() : shape.center().y(), shape.width() / 3,
                           shape.height() / 2);
        painter.setPen(Qt::NoPen);
        painter.setBrush(high_ ? QColor(0x60, 0x40, 0x00) : QColor(0xc0, 0xc0, 0xc8));
        painter.drawRect(lever);
    }
    painter.setFont(nameFont);
    painter.setPen(high_ ? Qt::black : Qt::white);
    const QRectF letterBox = switchable_
                                 ? QRectF(shape.left(), high_ ? shape.center().y() : shape.top(),
                                          shape.width(), shape.height() / 2)
                                 : shape;
    painter.drawText(letterBox, Qt::AlignCenter, high_ ? QStringLiteral("H") : QStringLiteral("L"));

    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(1, 1, -1, -1);
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}

} // namespace panel
