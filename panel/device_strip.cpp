// SPDX-License-Identifier: LGPL-2.1-or-later
#include "device_strip.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLCDNumber>
#include <QLabel>
#include <string>
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
    // Two rows of boxes: in one, the strip alone would be wider than a
    // 1280-pixel screen.
    auto *rows = new QVBoxLayout(this);
    rows->setContentsMargins(0, 0, 0, 0);
    auto *row = new QHBoxLayout;
    rows->addLayout(row);
    auto *secondRow = new QHBoxLayout;
    rows->addLayout(secondRow);
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
    secondRow->addWidget(superioBox_, 2);

    pciBox_ = new QGroupBox(tr("PCI"), this);
    pci_ = boxedLabel(pciBox_);
    pci_->setObjectName(QStringLiteral("pci"));
    secondRow->addWidget(pciBox_, 3);

    keyboardBox_ = new QGroupBox(tr("Keyboard"), this);
    keyboard_ = boxedLabel(keyboardBox_);
    keyboard_->setObjectName(QStringLiteral("keyboard"));
    row->addWidget(keyboardBox_);

    sensorsBox_ = new QGroupBox(tr("Sensors"), this);
    sensors_ = boxedLabel(sensorsBox_);
    sensors_->setObjectName(QStringLiteral("sensors"));
    row->addWidget(sensorsBox_);

    ecBox_ = new QGroupBox(tr("Embedded controller"), this);
    ec_ = boxedLabel(ecBox_);
    ec_->setObjectName(QStringLiteral("ec"));
    row->addWidget(ecBox_);
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

    const Device *keyboard = named(devices, "i8042");
    keyboardBox_->setVisible(keyboard != nullptr);
    if (keyboard != nullptr)
        keyboard_->setText(tr("LEDs: %1\nRepeat %2 after %3")
                               .arg(text(keyboard->property("leds")),
                                    text(keyboard->property("typematic-rate")),
                                    text(keyboard->property("typematic-delay"))));

    const Device *sensors = named(devices, "w83627hf-hwmon");
    sensorsBox_->setVisible(sensors != nullptr);
    if (sensors != nullptr) {
        // Each temperature beside its fan, to keep the box low.
        QStringList lines;
        for (const char *number : {"1", "2", "3"}) {
            const std::string temperature = std::string("temp") + number;
            const std::string fan = std::string("fan") + number;
            lines << QStringLiteral("%1 %2   %3 %4")
                         .arg(text(temperature), text(sensors->property(temperature)), text(fan),
                              text(sensors->property(fan)));
        }
        lines << tr("alarms: %1").arg(text(sensors->property("alarms")));
        sensors_->setText(lines.join('\n'));
        QStringList voltages;
        for (int input = 0; input <= 8; ++input) {
            const std::string key = "in" + std::to_string(input);
            voltages << QStringLiteral("%1 %2").arg(text(key), text(sensors->property(key)));
        }
        sensors_->setToolTip(voltages.join('\n'));
    }

    const Device *ec = named(devices, "acpi-ec");
    ecBox_->setVisible(ec != nullptr);
    if (ec != nullptr) {
        QStringList memory;
        for (const auto &[key, value] : ec->properties)
            if (key.rfind("memory-", 0) == 0)
                memory << QStringLiteral("%1: %2").arg(text(key.substr(7)), text(value));
        ec_->setText(tr("status %1, events: %2\n%3")
                         .arg(text(ec->property("status")), text(ec->property("events")),
                              memory.isEmpty() ? tr("memory all zero") : memory.join('\n')));
    }
}

} // namespace panel
