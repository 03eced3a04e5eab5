// SPDX-License-Identifier: LGPL-2.1-or-later
#include "device_strip.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLCDNumber>
#include <QLabel>
#include <QRegularExpression>

namespace panel {
namespace {

QString text(const std::string &value) { return QString::fromStdString(value); }

QLabel *boxedLabel(QGroupBox *box)
{
    auto *layout = new QVBoxLayout(box);
    auto *label = new QLabel(box);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    layout->addWidget(label);
    return label;
}

const Device *named(const std::vector<Device> &devices, std::string_view type)
{
    for (const Device &device : devices)
        if (device.type == type)
            return &device;
    return nullptr;
}

} // namespace

QString postDigits(const QString &code)
{
    bool ok = false;
    const uint value = code.toUInt(&ok, 16);
    return ok && value <= 0xFF ? QStringLiteral("%1").arg(value, 2, 16, QChar('0')).toUpper()
                               : QStringLiteral("--");
}

DeviceStrip::DeviceStrip(QWidget *parent) : QWidget(parent)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    rtcBox_ = new QGroupBox(tr("Clock"), this);
    rtc_ = boxedLabel(rtcBox_);
    rtc_->setObjectName(QStringLiteral("rtc"));
    row->addWidget(rtcBox_);

    postBox_ = new QGroupBox(tr("POST code"), this);
    auto *postLayout = new QVBoxLayout(postBox_);
    post_ = new QLCDNumber(2, postBox_);
    post_->setObjectName(QStringLiteral("post"));
    post_->setSegmentStyle(QLCDNumber::Flat);
    post_->setMinimumHeight(fontMetrics().height() * 2);
    postLayout->addWidget(post_);
    row->addWidget(postBox_);

    superioBox_ = new QGroupBox(tr("Super I/O"), this);
    superio_ = boxedLabel(superioBox_);
    superio_->setObjectName(QStringLiteral("superio"));
    row->addWidget(superioBox_, 2);

    pciBox_ = new QGroupBox(tr("PCI"), this);
    pci_ = boxedLabel(pciBox_);
    pci_->setObjectName(QStringLiteral("pci"));
    row->addWidget(pciBox_, 3);
}

void DeviceStrip::showDevices(const std::vector<Device> &devices)
{
    const Device *rtc = named(devices, "mc146818-rtc");
    rtcBox_->setVisible(rtc != nullptr);
    if (rtc != nullptr)
        rtc_->setText(text(rtc->property("time")).replace('T', '\n') + '\n' +
                      text(rtc->property("clock")));

    const Device *post = named(devices, "post-code");
    postBox_->setVisible(post != nullptr);
    if (post != nullptr) {
        const QString digits = postDigits(text(post->property("code")));
        post_->display(digits);
        post_->setAccessibleName(tr("POST code %1").arg(digits));
    }

    const Device *superio = named(devices, "w83627hf");
    superioBox_->setVisible(superio != nullptr);
    if (superio != nullptr) {
        // The chip, then its logical devices, the enabled ones first: the
        // rest are listed in the tooltip.
        QStringList enabled;
        QStringList all;
        for (const auto &[key, value] : superio->properties) {
            if (key.rfind("ldn", 0) != 0 || key == "selected-ldn")
                continue;
            const QString line = QStringLiteral("LDN %1: %2").arg(text(key.substr(3)), text(value));
            all << line;
            if (value.find(", enabled") != std::string::npos)
                enabled << line;
        }
        superio_->setText(tr("%1 (ID %2), configuration %3\n%4")
                              .arg(text(superio->property("chip")), text(superio->property("id")),
                                   text(superio->property("configuration")), enabled.join('\n')));
        superio_->setToolTip(all.join('\n'));
    }

    const Device *pci = named(devices, "pci-conf1");
    pciBox_->setVisible(pci != nullptr);
    if (pci != nullptr) {
        static const QRegularExpression function(
            QStringLiteral("^[0-9a-f]{2}:[0-9a-f]{2}\\.[0-7]$"));
        QStringList functions;
        for (const auto &[key, value] : pci->properties)
            if (function.match(text(key)).hasMatch())
                functions << QStringLiteral("%1  %2").arg(text(key), text(value));
        pci_->setText(functions.join('\n'));
    }
}

} // namespace panel
