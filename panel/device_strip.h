// SPDX-License-Identifier: LGPL-2.1-or-later
// The machine's other devices in one row: the real-time clock's date and
// time, the POST code as two digits, the Super I/O chip with its logical
// devices, and the PCI functions. A device the profile lacks is hidden.
#ifndef QPORT_PANEL_DEVICE_STRIP_H
#define QPORT_PANEL_DEVICE_STRIP_H

#include <QWidget>
#include <vector>

#include "machine.h"

class QGroupBox;
class QLabel;
class QLCDNumber;

namespace panel {

class DeviceStrip : public QWidget {
    Q_OBJECT

public:
    explicit DeviceStrip(QWidget *parent = nullptr);
    void showDevices(const std::vector<Device> &devices);

private:
    QGroupBox *rtcBox_ = nullptr;
    QLabel *rtc_ = nullptr;
    QGroupBox *postBox_ = nullptr;
    QLCDNumber *post_ = nullptr;
    QGroupBox *superioBox_ = nullptr;
    QLabel *superio_ = nullptr;
    QGroupBox *pciBox_ = nullptr;
    QLabel *pci_ = nullptr;
    QGroupBox *keyboardBox_ = nullptr;
    QLabel *keyboard_ = nullptr;
    QGroupBox *sensorsBox_ = nullptr;
    QLabel *sensors_ = nullptr;
    QGroupBox *ecBox_ = nullptr;
    QLabel *ec_ = nullptr;
};

// The POST code property ("0x3f", "none") as two hex digits, "--" for none.
QString postDigits(const QString &code);

} // namespace panel

#endif
