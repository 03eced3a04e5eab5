// SPDX-License-Identifier: LGPL-2.1-or-later
// The front panel's one window: the parallel port's connector and
// registers, its peripheral, the other devices and the last transfers,
// following the machine about thirty times a second; buttons to reset the
// machine and to choose the peripheral and the profile.
#ifndef QPORT_PANEL_PANEL_WINDOW_H
#define QPORT_PANEL_PANEL_WINDOW_H

#include <QMainWindow>
#include <QScrollArea>
#include <QTimer>
#include <vector>

#include "machine.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace panel {

class ConnectorView;
class DeviceStrip;
class PeripheralView;
class TransferLog;

// Scrolls the window's content on a screen too small for it, and asks
// for the content's whole size otherwise.
class FittingScrollArea : public QScrollArea {
    Q_OBJECT

public:
    FittingScrollArea(QWidget *content, QWidget *parent);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
};

class PanelWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int updateIntervalMs = 33;
    explicit PanelWindow(QWidget *parent = nullptr);

    ConnectorView *connector() const { return connector_; }
    PeripheralView *peripheral() const { return peripheral_; }
    TransferLog *transferLog() const { return transferLog_; }
    QComboBox *peripheralChoice() const { return peripheralChoice_; }
    QComboBox *profileChoice() const { return profileChoice_; }
    QPushButton *resetButton() const { return reset_; }

public slots:
    // Reads the machine and shows it; the timer calls it.
    void refresh();

private:
    void flip(const Pin &pin, bool high);
    void choosePeripheral(int index);
    void chooseProfile(int index);
    void tell(const QString &message);
    void applySetting();

    QLabel *machineLabel_ = nullptr;
    QLabel *resets_ = nullptr;
    QLineEdit *setting_ = nullptr;
    QPushButton *reset_ = nullptr;
    QComboBox *peripheralChoice_ = nullptr;
    QComboBox *profileChoice_ = nullptr;
    ConnectorView *connector_ = nullptr;
    PeripheralView *peripheral_ = nullptr;
    DeviceStrip *strip_ = nullptr;
    TransferLog *transferLog_ = nullptr;
    QTimer timer_;
    std::vector<qport_sim_transfer> records_;
    std::vector<Device> shownDevices_;
};

} // namespace panel

#endif
