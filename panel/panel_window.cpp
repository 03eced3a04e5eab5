// SPDX-License-Identifier: LGPL-2.1-or-later
#include "panel_window.h"

#include <cerrno>

#include <QAbstractItemView>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QVBoxLayout>
#include <cstring>

#include "connector_view.h"
#include "device_strip.h"
#include "peripheral_view.h"
#include "pin_widget.h"
#include "transfer_log.h"

namespace panel {
namespace {

const Device *lpt1(const std::vector<Device> &devices)
{
    for (const Device &device : devices)
        if (device.name == "lpt1")
            return &device;
    return nullptr;
}

void fill(QComboBox *choice, const std::vector<std::string> &names)
{
    for (const std::string &name : names)
        choice->addItem(QString::fromStdString(name));
}

// Selects text without telling whoever listens for the user's choice.
void select(QComboBox *choice, const QString &text)
{
    if (choice->currentText() == text || choice->view()->isVisible())
        return;
    const QSignalBlocker quiet(choice);
    choice->setCurrentIndex(choice->findText(text));
}

} // namespace

FittingScrollArea::FittingScrollArea(QWidget *content, QWidget *parent) : QScrollArea(parent)
{
    setObjectName(QStringLiteral("panelArea"));
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setWidget(content);
}

QSize FittingScrollArea::sizeHint() const
{
    // The whole content, where QScrollArea would offer a few dozen
    // characters' worth; scroll bars only on a screen smaller than that.
    return widget()->sizeHint() + QSize(2 * frameWidth(), 2 * frameWidth());
}

QSize FittingScrollArea::minimumSizeHint() const
{
    const int line = fontMetrics().height();
    return QSize(20 * line, 12 * line).boundedTo(sizeHint());
}

PanelWindow::PanelWindow(QWidget *parent) : QMainWindow(parent)
{
    const std::string machinePath = machine::path();
    setWindowTitle(machinePath.empty()
                       ? tr("qport panel: its own port space")
                       : tr("qport panel: %1").arg(QString::fromStdString(machinePath)));
    auto *central = new QWidget;
    auto *column = new QVBoxLayout(central);

    auto *controls = new QHBoxLayout;
    column->addLayout(controls);
    // Which machine, and its resets, in the status bar: in the row of
    // controls they would widen the window past a 1280-pixel screen.
    machineLabel_ =
        new QLabel(machinePath.empty() ? tr("No shared machine: this panel's own port space")
                                       : tr("Machine %1").arg(QString::fromStdString(machinePath)),
                   this);
    resets_ = new QLabel(this);
    resets_->setObjectName(QStringLiteral("resets"));
    // A long path or cause is cut short rather than widening the window;
    // the tooltip has it whole.
    for (QLabel *label : {machineLabel_, resets_}) {
        label->setMinimumWidth(label->fontMetrics().averageCharWidth() * 12);
        statusBar()->addPermanentWidget(label);
    }
    machineLabel_->setToolTip(machineLabel_->text());
    // A device's property, as qportio set takes it: the embedded
    // controller's memory and events, the sensors' readings.
    auto *settingLabel = new QLabel(tr("&Set:"), central);
    setting_ = new QLineEdit(central);
    setting_->setObjectName(QStringLiteral("setting"));
    setting_->setPlaceholderText(tr("ec event=0x66"));
    setting_->setToolTip(tr("A device and KEY=VALUE: ec memory-0x10=0x42, ec event=0x66, "
                            "hwmon temp1=52, hwmon fan1=1800, hwmon in0=1.45"));
    settingLabel->setBuddy(setting_);
    controls->addWidget(settingLabel);
    controls->addWidget(setting_);
    connect(setting_, &QLineEdit::returnPressed, this, &PanelWindow::applySetting);
    reset_ = new QPushButton(tr("&Reset machine"), central);
    reset_->setObjectName(QStringLiteral("reset"));
    controls->addWidget(reset_);
    auto *peripheralLabel = new QLabel(tr("P&eripheral:"), central);
    peripheralChoice_ = new QComboBox(central);
    peripheralChoice_->setObjectName(QStringLiteral("peripheralChoice"));
    fill(peripheralChoice_, machine::peripheralNames());
    peripheralLabel->setBuddy(peripheralChoice_);
    controls->addWidget(peripheralLabel);
    controls->addWidget(peripheralChoice_);
    auto *profileLabel = new QLabel(tr("Pro&file:"), central);
    profileChoice_ = new QComboBox(central);
    profileChoice_->setObjectName(QStringLiteral("profileChoice"));
    fill(profileChoice_, machine::profileNames());
    profileLabel->setBuddy(profileChoice_);
    controls->addWidget(profileLabel);
    controls->addWidget(profileChoice_);
    controls->addStretch();

    connector_ = new ConnectorView(central);
    column->addWidget(connector_);
    auto *middle = new QHBoxLayout;
    column->addLayout(middle, 1);
    peripheral_ = new PeripheralView(central);
    middle->addWidget(peripheral_, 1);
    transferLog_ = new TransferLog(central);
    middle->addWidget(transferLog_, 1);
    strip_ = new DeviceStrip(central);
    column->addWidget(strip_);
    setCentralWidget(new FittingScrollArea(central, this));

    connect(reset_, &QPushButton::clicked, this, [this] {
        machine::reset();
        transferLog_->clear();
        refresh();
    });
    connect(peripheralChoice_, &QComboBox::activated, this, &PanelWindow::choosePeripheral);
    connect(profileChoice_, &QComboBox::activated, this, &PanelWindow::chooseProfile);
    connect(connector_, &ConnectorView::flipRequested, this, &PanelWindow::flip);

    // Tab: the controls, the switches on the connector, then the log.
    QWidget *previous = profileChoice_;
    setTabOrder(reset_, peripheralChoice_);
    setTabOrder(peripheralChoice_, profileChoice_);
    for (QWidget *pinSwitch : connector_->focusChain()) {
        setTabOrder(previous, pinSwitch);
        previous = pinSwitch;
    }
    setTabOrder(previous, transferLog_->pauseButton());
    setTabOrder(transferLog_->pauseButton(), transferLog_->portFilter());
    setTabOrder(transferLog_->portFilter(), transferLog_->timeChoice());
    setTabOrder(transferLog_->timeChoice(), transferLog_->table());

    refresh();
    // Qt would open a window this size at two thirds of the screen; the
    // whole of it fits a 1280x800 screen.
    resize(sizeHint().boundedTo(screen()->availableSize()));
    connect(&timer_, &QTimer::timeout, this, &PanelWindow::refresh);
    timer_.start(updateIntervalMs);
}

void PanelWindow::refresh()
{
    std::vector<Device> devices = machine::devices();
    const Device *port = lpt1(devices);
    if (port != nullptr && port->portCount != 0) {
        const Registers registers = machine::peekRegisters(port->firstPort);
        const bool switches = port->property("peripheral") == "switches";
        connector_->showPort(port->firstPort, registers, switches);
        peripheral_->showPeripheral(*port, registers);
        select(peripheralChoice_, QString::fromStdString(port->property("peripheral")));
    } else {
        connector_->showDisabled();
    }
    select(profileChoice_, QString::fromStdString(machine::currentProfile()));
    const std::uint32_t resets = machine::resetCount();
    resets_->setText(resets == 0 ? tr("Resets by programs: none")
                                 : tr("Resets by programs: %1, the last by %2")
                                       .arg(resets)
                                       .arg(QString::fromStdString(machine::lastResetCause())));
    resets_->setToolTip(resets_->text());
    if (devices != shownDevices_) {
        strip_->showDevices(devices);
        shownDevices_ = std::move(devices);
    }
    if (transferLog_->wantsTransfers()) {
        machine::transfers(records_);
        transferLog_->take(records_);
    }
}

void PanelWindow::flip(const Pin &pin, bool high)
{
    const std::vector<Device> devices = machine::devices();
    const Device *port = lpt1(devices);
    if (port == nullptr || port->property("peripheral") != "switches")
        return;
    bool ok = false;
    const uint switches = QString::fromStdString(port->property("switches")).toUInt(&ok, 16);
    if (!ok)
        return;
    const std::uint8_t flipped = withLine(pin, static_cast<std::uint8_t>(switches), high);
    if (const int error = machine::setProperty("lpt1", "switches",
                                               "0x" + QString::number(flipped, 16).toStdString()))
        tell(tr("Cannot flip the switch: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
    refresh();
}

void PanelWindow::choosePeripheral(int index)
{
    const std::string name = peripheralChoice_->itemText(index).toStdString();
    if (const int error = machine::setProperty("lpt1", "peripheral", name))
        tell(tr("Cannot plug in %1: %2")
                 .arg(QString::fromStdString(name), QString::fromLocal8Bit(std::strerror(error))));
    refresh();
}

void PanelWindow::chooseProfile(int index)
{
    const std::string name = profileChoice_->itemText(index).toStdString();
    if (const int error = machine::setProfile(name))
        tell(tr("Cannot build the machine as %1: %2")
                 .arg(QString::fromStdString(name), QString::fromLocal8Bit(std::strerror(error))));
    transferLog_->clear();
    refresh();
}

void PanelWindow::applySetting()
{
    const QString text = setting_->text().trimmed();
    const qsizetype space = text.indexOf(' ');
    const qsizetype equals = text.indexOf('=', space + 1);
    if (space <= 0 || equals <= space + 1) {
        tell(tr("Write a device and KEY=VALUE, such as: ec event=0x66"));
        return;
    }
    const std::string device = text.left(space).toStdString();
    const std::string key = text.mid(space + 1, equals - space - 1).trimmed().toStdString();
    const std::string value = text.mid(equals + 1).trimmed().toStdString();
    if (const int error = machine::setProperty(device.c_str(), key.c_str(), value)) {
        tell(error == ENOENT ? tr("%1 has no property %2 to set")
                                   .arg(QString::fromStdString(device), QString::fromStdString(key))
                             : tr("%1 does not take %2=%3 (its range is on standard error)")
                                   .arg(QString::fromStdString(device), QString::fromStdString(key),
                                        QString::fromStdString(value)));
        return;
    }
    tell(tr("Set %1").arg(text));
    setting_->clear();
    refresh();
}

void PanelWindow::tell(const QString &message) { statusBar()->showMessage(message, 5000); }

} // namespace panel
