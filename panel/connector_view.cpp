// SPDX-License-Identifier: LGPL-2.1-or-later
#include "connector_view.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "pin_widget.h"

namespace panel {

QString registerText(std::uint8_t value)
{
    const QString bits = QStringLiteral("%1").arg(value, 8, 2, QChar('0'));
    return QStringLiteral("0x%1  %2 %3")
        .arg(value, 2, 16, QChar('0'))
        .arg(bits.left(4), bits.mid(4));
}

ConnectorView::ConnectorView(QWidget *parent) : QGroupBox(tr("Parallel port"), parent)
{
    // The registers go under the pins rather than beside them, so that the
    // window fits a 1280-pixel-wide screen.
    auto *rows = new QVBoxLayout(this);
    auto *pinRow = new QHBoxLayout;
    rows->addLayout(pinRow);
    auto *connector = new QGridLayout;
    connector->setHorizontalSpacing(2);
    pinRow->addLayout(connector);
    pinRow->addStretch();
    // Pins 1-13 on the top row, 14-25 below, offset by half a pin as on
    // the D-shaped shell.
    for (int number = 1; number <= connectorPins; ++number) {
        const int column = number <= 13 ? (number - 1) * 2 : (number - 14) * 2 + 1;
        const int gridRow = number <= 13 ? 0 : 1;
        QWidget *cell = nullptr;
        if (const auto pin = pinNumbered(number)) {
            auto *widget = new PinWidget(*pin, this);
            connect(widget, &PinWidget::flipRequested, this, &ConnectorView::flipRequested);
            pins_[static_cast<std::size_t>(number - 1)] = widget;
            cell = widget;
        } else {
            auto *ground = new QLabel(tr("%1\nGND").arg(number), this);
            ground->setAlignment(Qt::AlignCenter);
            ground->setAccessibleName(tr("%1 ground").arg(number));
            ground->setEnabled(false);
            cell = ground;
        }
        connector->addWidget(cell, gridRow, column, 1, 2);
    }

    auto *registers = new QHBoxLayout;
    rows->addLayout(registers);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (std::size_t index = 0; index < registerLabels_.size(); ++index) {
        registerNames_[index] = new QLabel(this);
        registerLabels_[index] = new QLabel(this);
        registerLabels_[index]->setFont(fixed);
        registerLabels_[index]->setTextInteractionFlags(Qt::TextSelectableByMouse);
        registerLabels_[index]->setObjectName(QStringList{
            "dataRegister", "statusRegister", "controlRegister"}[static_cast<int>(index)]);
        registers->addWidget(registerNames_[index]);
        registers->addWidget(registerLabels_[index]);
        registers->addSpacing(fontMetrics().height());
    }
    registers->addStretch();
    showDisabled();
}

PinWidget *ConnectorView::pinWidget(int number) const
{
    if (number < 1 || number > static_cast<int>(pins_.size()))
        return nullptr;
    return pins_[static_cast<std::size_t>(number - 1)];
}

QList<QWidget *> ConnectorView::focusChain() const
{
    QList<QWidget *> chain;
    for (PinWidget *widget : pins_)
        if (!widget->pin().isOutput())
            chain << widget;
    return chain;
}

void ConnectorView::showPort(std::uint16_t base, const Registers &registers, bool switchable)
{
    if (!showing_ || base != base_) {
        const QStringList names{tr("Data"), tr("Status"), tr("Control")};
        for (std::size_t index = 0; index < registerNames_.size(); ++index)
            registerNames_[index]->setText(QStringLiteral("%1 0x%2")
                                               .arg(names[static_cast<int>(index)])
                                               .arg(base + index, 3, 16, QChar('0')));
        base_ = base;
        showing_ = true;
    }
    registerLabels_[0]->setText(registerText(registers.data));
    registerLabels_[1]->setText(registerText(registers.status));
    registerLabels_[2]->setText(registerText(registers.control));
    for (PinWidget *widget : pins_) {
        widget->setEnabled(true);
        widget->setLevel(lineHigh(widget->pin(), registers),
                         switchable && !widget->pin().isOutput());
    }
}

void ConnectorView::showDisabled()
{
    showing_ = false;
    for (std::size_t index = 0; index < registerNames_.size(); ++index) {
        registerNames_[index]->setText(
            QStringList{tr("Data"), tr("Status"), tr("Control")}[static_cast<int>(index)]);
        registerLabels_[index]->setText(tr("(port disabled)"));
    }
    for (PinWidget *widget : pins_) {
        widget->setLevel(widget->isHigh(), false);
        widget->setEnabled(false);
    }
}

} // namespace panel
