// SPDX-License-Identifier: LGPL-2.1-or-later
// The panel's window on a real X server with a window manager, following a
// shared machine that other processes drive: qportio's writes light the
// lamps (checked in the widgets and in the screen's pixels), a switch
// flipped with the mouse or the keyboard reaches qportio's reads, and the
// LCD view shows what LCDd drives onto the display.
#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

#include "connector_view.h"
#include "lcd_view.h"
#include "machine.h"
#include "panel_window.h"
#include "peripheral_view.h"
#include "pin_widget.h"

namespace {

// Runs qportio on the machine in path; its standard output.
QString qportio(const QString &machinePath, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QPORT_SIM_MACHINE", machinePath);
    environment.insert("LD_LIBRARY_PATH", QPORT_SIMULATED_DIR);
    environment.remove("QPORT_SIM_DEVICE");
    process.setProcessEnvironment(environment);
    process.start(QPORTIO, arguments);
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        return QStringLiteral("qportio failed: ") + process.readAllStandardError();
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

// How far apart two colours are, per channel at most.
int colourDistance(QColor one, QColor other)
{
    return std::max({std::abs(one.red() - other.red()), std::abs(one.green() - other.green()),
                     std::abs(one.blue() - other.blue())});
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void lampsShowWhatAnotherProcessWrote();
    void switchesReachAnotherProcessesReads();
    void lcdShowsWhatAProgramDrove();
    void lcdShowsWhatLcddDrives();
    void cleanupTestCase();

private:
    void choosePeripheralByKeyboard(const QString &name);
    QTemporaryDir directory_;
    QString machinePath_;
    std::unique_ptr<panel::PanelWindow> window_;
};

void WindowTest::initTestCase()
{
    QVERIFY(directory_.isValid());
    QVERIFY(panel::machine::simulatedBuild());
    machinePath_ = directory_.filePath("machine");
    QCOMPARE(QString::fromStdString(panel::machine::use(machinePath_.toLocal8Bit().constData())),
             QString());
    window_ = std::make_unique<panel::PanelWindow>();
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
}

void WindowTest::init()
{
    QCOMPARE(panel::machine::setProperty("lpt1", "peripheral", "none"), 0);
    panel::machine::reset();
}

void WindowTest::lampsShowWhatAnotherProcessWrote()
{
    QCOMPARE(qportio(machinePath_, {"write", "0x378", "0x55"}), QString());
    QCOMPARE(qportio(machinePath_, {"write", "0x37a", "0x0d"}), QString()); // nStrobe low
    const panel::ConnectorView *connector = window_->connector();
    QTRY_VERIFY(connector->pinWidget(2)->isHigh());
    // D0..D7 = 0x55, nStrobe low, nAutoFeed high, nInit high, nSelectIn low;
    // the inputs with nothing plugged in: Busy high through its inversion.
    const std::map<int, bool> expected{{1, false}, {2, true},  {3, false}, {4, true},  {5, false},
                                       {6, true},  {7, false}, {8, true},  {9, false}, {10, true},
                                       {11, true}, {12, true}, {13, true}, {14, true}, {15, true},
                                       {16, true}, {17, false}};
    QTest::qWait(2 * panel::PanelWindow::updateIntervalMs);
    for (const auto &[number, high] : expected)
        QVERIFY2(connector->pinWidget(number)->isHigh() == high,
                 qPrintable(QString::number(number)));
    QCOMPARE(connector->findChild<QLabel *>("dataRegister")->text(), "0x55  0101 0101");
    QCOMPARE(connector->pinWidget(2)->accessibleName(), "2 D0 high");

    // The pixels on the screen, at each lamp's centre: lit or dark.
    const QImage screen = window_->screen()
                              ->grabWindow(window_->winId())
                              .toImage()
                              .convertToFormat(QImage::Format_RGB32);
    const qreal ratio = screen.devicePixelRatio();
    for (const auto &[number, high] : expected) {
        const panel::PinWidget *pin = connector->pinWidget(number);
        // Off the centre's letter, inside the lamp: a quarter of the way in.
        const QPoint centre = pin->mapTo(window_.get(), pin->lampCentre());
        const QPoint probe(centre.x() - pin->fontMetrics().height() / 2, centre.y());
        const QColor seen =
            screen.pixelColor(QPoint(qRound(probe.x() * ratio), qRound(probe.y() * ratio)));
        const QColor want = high ? panel::litColour() : panel::darkColour();
        QVERIFY2(colourDistance(seen, want) < 24,
                 qPrintable(QStringLiteral("pin %1: %2 on the screen, %3 wanted")
                                .arg(number)
                                .arg(seen.name(), want.name())));
    }
}

void WindowTest::choosePeripheralByKeyboard(const QString &name)
{
    QComboBox *choice = window_->peripheralChoice();
    window_->activateWindow();
    choice->setFocus();
    QTRY_VERIFY(choice->hasFocus());
    for (int step = 0; step < choice->count() && choice->currentText() != name; ++step)
        QTest::keyClick(choice, Qt::Key_Down);
    QCOMPARE(choice->currentText(), name);
}

void WindowTest::switchesReachAnotherProcessesReads()
{
    choosePeripheralByKeyboard("switches");
    panel::PinWidget *nAck = window_->connector()->pinWidget(10);
    QTRY_VERIFY(nAck->isSwitchable());
    QVERIFY(!window_->connector()->pinWidget(2)->isSwitchable());
    QCOMPARE(qportio(machinePath_, {"read", "-x", "0x379"}), "0x7f");

    QTest::mouseClick(nAck, Qt::LeftButton);
    QTRY_VERIFY(!nAck->isHigh());
    QCOMPARE(qportio(machinePath_, {"read", "-x", "0x379"}), "0x3f");

    // Tab reaches the switch; Space flips it back.
    nAck->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(nAck->hasFocus());
    QTest::keyClick(nAck, Qt::Key_Space);
    QTRY_VERIFY(nAck->isHigh());
    QCOMPARE(qportio(machinePath_, {"read", "-x", "0x379"}), "0x7f");

    // Busy's switch: the line low reads as the register bit set.
    QTest::mouseClick(window_->connector()->pinWidget(11), Qt::LeftButton);
    QCOMPARE(qportio(machinePath_, {"read", "-x", "0x379"}), "0xff");
}

void WindowTest::lcdShowsWhatAProgramDrove()
{
    choosePeripheralByKeyboard("lcd");
    // The HD44780 on the 4bit wiring, driven through qportio a nibble at a
    // time: 8-bit function set, display on, then "Hi" (D4 is RS, D6 E).
    const QStringList nibbles{"0x03", "0x02", "0x02", "0x08", "0x00",
                              "0x0c", "0x14", "0x18", "0x16", "0x19"};
    for (const QString &nibble : nibbles) {
        const uint value = nibble.toUInt(nullptr, 16);
        QCOMPARE(qportio(machinePath_, {"write", "0x378", QString::number(value | 0x40)}),
                 QString());
        QCOMPARE(qportio(machinePath_, {"write", "0x378", QString::number(value)}), QString());
    }
    const panel::LcdView *lcd = window_->peripheral()->lcd();
    QTRY_VERIFY2(lcd->text().startsWith("Hi"), qPrintable(lcd->text()));
    QVERIFY(lcd->isVisible());
    // The picture in the documentation is taken here.
    if (const QByteArray path = qgetenv("QPORT_PANEL_SCREENSHOT"); !path.isEmpty()) {
        QTest::qWait(2 * panel::PanelWindow::updateIntervalMs);
        QVERIFY(window_->screen()->grabWindow(window_->winId()).save(QString::fromLocal8Bit(path)));
    }
}

void WindowTest::lcdShowsWhatLcddDrives()
{
    // LCDd, LCDproc's server, with its hd44780 driver under qport-run, as
    // tests/clients/lcdd.sh runs it.
    const QString lcdd = QStandardPaths::findExecutable("LCDd", {"/usr/sbin", "/usr/bin"});
    QString driverDirectory;
    for (const QString &candidate : QDir("/usr/lib").entryList({"*-linux-gnu"}, QDir::Dirs))
        if (QFile::exists("/usr/lib/" + candidate + "/lcdproc/hd44780.so"))
            driverDirectory = "/usr/lib/" + candidate + "/lcdproc/";
    if (lcdd.isEmpty() || driverDirectory.isEmpty())
        QSKIP("LCDd or its hd44780 driver is not installed (tools/install-deps installs them)");
    QFile config(directory_.filePath("LCDd.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral("[server]\nDriverPath=%1\nDriver=hd44780\nBind=127.0.0.1\n"
                                "Port=%2\nReportToSyslog=no\nForeground=yes\nServerScreen=on\n"
                                "[hd44780]\nConnectionType=4bit\nPort=0x378\nSize=20x4\n"
                                "Keypad=no\nBacklight=no\n")
                     .arg(driverDirectory)
                     .arg(20000 + QCoreApplication::applicationPid() % 20000)
                     .toLocal8Bit());
    config.close();
    QProcess server;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QPORT_SIM_MACHINE", machinePath_);
    environment.insert("QPORT_SIM_DEVICE", "lcd:size=20x4,wiring=4bit");
    server.setProcessEnvironment(environment);
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(QPORT_RUN, {lcdd, "-c", config.fileName(), "-f"});
    QVERIFY(server.waitForStarted());
    const panel::LcdView *lcd = window_->peripheral()->lcd();
    QTRY_VERIFY2_WITH_TIMEOUT(lcd->text().contains("LCDproc Server"),
                              qPrintable(lcd->text() + "\n" + server.readAll()), 20000);
    QVERIFY(lcd->isVisible());
    QCOMPARE(window_->peripheralChoice()->currentText(), "lcd");
    server.terminate();
    QVERIFY(server.waitForFinished(10000));
    QTRY_VERIFY2_WITH_TIMEOUT(lcd->text().contains("Thanks for using"), qPrintable(lcd->text()),
                              10000);
}

void WindowTest::cleanupTestCase() { window_.reset(); }

QTEST_MAIN(WindowTest)
#include "window_test.moc"
