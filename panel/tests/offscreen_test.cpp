// SPDX-License-Identifier: LGPL-2.1-or-later
// The window and its views on the offscreen platform, on the process's own
// port space: the window's size against a 1280x800 screen, the transfers'
// times, and the LCD's CGRAM characters as drawn on the glass.
#include <QComboBox>
#include <algorithm>
#include <QScrollArea>
#include <QTableView>
#include <QtTest>

#include "lcd_view.h"
#include "machine.h"
#include "panel_window.h"
#include "peripheral_view.h"
#include "qport.h"
#include "transfer_log.h"

namespace {

constexpr qint64 second = 1000000000;

// The HD44780 on the 4bit wiring: D0..D3 the nibble, D4 RS, D6 E.
constexpr std::uint8_t registerSelect = 0x10;
constexpr std::uint8_t enable = 0x40;

void pulse(std::uint8_t lines)
{
    outportb(0x378, static_cast<char>(lines));
    outportb(0x378, static_cast<char>(lines | enable));
    outportb(0x378, static_cast<char>(lines));
}

void send(std::uint8_t lines, std::uint8_t byte)
{
    pulse(static_cast<std::uint8_t>(lines | byte >> 4));
    pulse(static_cast<std::uint8_t>(lines | (byte & 0x0F)));
}

} // namespace

class OffscreenTest : public QObject {
    Q_OBJECT

private slots:
    void windowFitsA1280x800Screen_data();
    void windowFitsA1280x800Screen();
    void transferTimes_data();
    void transferTimes();
    void timeChoiceRewritesTheColumn();
    void timesOption_data();
    void timesOption();
    void lcdDrawsCgramCharactersDotByDot();
};

void OffscreenTest::windowFitsA1280x800Screen_data()
{
    QTest::addColumn<QString>("profile");
    QTest::addColumn<QString>("peripheral");
    QTest::addColumn<bool>("programReset"); // the status bar says why, at length
    for (const char *profile : {"pc", "bare"})
        for (const char *peripheral : {"none", "lcd", "printer", "jtag", "loopback", "switches"})
            QTest::addRow("%s, %s", profile, peripheral) << profile << peripheral << false;
    QTest::newRow("pc, lcd, after a program's reset") << "pc"
                                                      << "lcd" << true;
}

void OffscreenTest::windowFitsA1280x800Screen()
{
    QFETCH(QString, profile);
    QFETCH(QString, peripheral);
    QFETCH(bool, programReset);
    QCOMPARE(panel::machine::setProfile(profile.toStdString()), 0);
    QCOMPARE(panel::machine::setProperty("lpt1", "peripheral", peripheral.toStdString()), 0);
    panel::PanelWindow window;
    if (programReset) {
        outportb(0x64, static_cast<char>(0xFE)); // the keyboard controller's reset line
        QVERIFY(panel::machine::resetCount() > 0);
    }
    window.refresh();
    // 1280x800 less a window manager's frame and a panel or two.
    const QSize room(1260, 760);
    const QSize hint = window.sizeHint();
    QVERIFY2(hint.width() <= room.width() && hint.height() <= room.height(),
             qPrintable(QStringLiteral("size hint %1x%2").arg(hint.width()).arg(hint.height())));
    const QSize minimum = window.minimumSizeHint();
    QVERIFY2(
        minimum.width() <= room.width() && minimum.height() <= room.height(),
        qPrintable(QStringLiteral("minimum %1x%2").arg(minimum.width()).arg(minimum.height())));
    // The whole content fits in that hint: no scroll bar at 1x.
    const auto *area = window.findChild<QScrollArea *>(QStringLiteral("panelArea"));
    QVERIFY(area != nullptr);
    const QSize content = area->widget()->sizeHint();
    QVERIFY2(
        content.width() <= hint.width() && content.height() <= hint.height(),
        qPrintable(QStringLiteral("content %1x%2").arg(content.width()).arg(content.height())));
    QVERIFY(content.width() >= area->widget()->minimumSizeHint().width());
}

void OffscreenTest::transferTimes_data()
{
    QTest::addColumn<qint64>("time");
    QTest::addColumn<int>("shown");
    QTest::addColumn<QString>("text");
    const int sinceStart = static_cast<int>(panel::TimeShown::sinceStart);
    const int wallClock = static_cast<int>(panel::TimeShown::wallClock);
    QTest::newRow("at the start") << 1000 * second << sinceStart << "0.000000";
    QTest::newRow("a second and a half later")
        << 1001 * second + second / 2 << sinceStart << "1.500000";
    QTest::newRow("microseconds, the nanoseconds dropped")
        << 1000 * second + 1234567 << sinceStart << "0.001234";
    QTest::newRow("an hour later") << 4723 * second + 456789000 << sinceStart << "3723.456789";
    QTest::newRow("before the panel started: negative")
        << 1000 * second - 500000 << sinceStart << "-0.000500";
    QTest::newRow("long before") << 2 * second << sinceStart << "-998.000000";
    QTest::newRow("wall clock at the start") << 1000 * second << wallClock << "00:00:00.000";
    QTest::newRow("wall clock, an hour on")
        << 4723 * second + 456789000 << wallClock << "01:02:03.456";
    QTest::newRow("wall clock, milliseconds truncated")
        << 1000 * second + 999999999 << wallClock << "00:00:00.999";
    QTest::newRow("wall clock before the start, the day before")
        << 999 * second << wallClock << "23:59:59.000";
}

void OffscreenTest::transferTimes()
{
    QFETCH(qint64, time);
    QFETCH(int, shown);
    QFETCH(QString, text);
    // The test runs with TZ=UTC. The panel started at 1000 s on
    // CLOCK_MONOTONIC, which was 2026-12-10 00:00:00 UTC.
    const panel::TimeBase base{1000 * second, (1796860800 - 1000) * second};
    QCOMPARE(panel::transferTime(static_cast<std::uint64_t>(time),
                                 static_cast<panel::TimeShown>(shown), base),
             text);
}

void OffscreenTest::timeChoiceRewritesTheColumn()
{
    const panel::TimeBase now = panel::TimeBase::now();
    panel::TransferLog log;
    const auto start = static_cast<std::uint64_t>(now.startNs);
    log.take({{start + 2 * second, 'o', 8, 0x378, 0x55}});
    QAbstractItemModel *model = log.table()->model();
    // The log's start is a moment after now's.
    const auto secondsShown = [model] {
        bool number = false;
        const double seconds = model->index(0, 0).data().toString().toDouble(&number);
        return number ? seconds : -1.0;
    };
    QVERIFY2(secondsShown() > 1.0 && secondsShown() <= 2.0,
             qPrintable(model->index(0, 0).data().toString()));
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), "Since start (s)");

    log.timeChoice()->setCurrentIndex(static_cast<int>(panel::TimeShown::wallClock));
    QCOMPARE(log.model()->timeShown(), panel::TimeShown::wallClock);
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), "Time");
    // The same time of day, to within a second either way.
    const QTime shown =
        QTime::fromString(model->index(0, 0).data().toString(), QStringLiteral("HH:mm:ss.zzz"));
    QVERIFY2(shown.isValid(), qPrintable(model->index(0, 0).data().toString()));
    const QTime expected = QDateTime::fromMSecsSinceEpoch(
                               (now.startNs + now.wallMinusMonotonicNs + 2 * second) / 1000000)
                               .time();
    QVERIFY2(std::abs(shown.msecsTo(expected)) < 1000,
             qPrintable(shown.toString() + " " + expected.toString()));

    log.setTimeShown(panel::TimeShown::sinceStart);
    QCOMPARE(log.timeChoice()->currentIndex(), static_cast<int>(panel::TimeShown::sinceStart));
    QVERIFY2(secondsShown() > 1.0 && secondsShown() <= 2.0,
             qPrintable(model->index(0, 0).data().toString()));
}

void OffscreenTest::timesOption_data()
{
    QTest::addColumn<QString>("word");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("shown");
    QTest::newRow("since-start") << "since-start" << true
                                 << static_cast<int>(panel::TimeShown::sinceStart);
    QTest::newRow("wall-clock") << "wall-clock" << true
                                << static_cast<int>(panel::TimeShown::wallClock);
    QTest::newRow("another word") << "uptime" << false << -1;
    QTest::newRow("empty") << "" << false << -1;
    QTest::newRow("case matters") << "Wall-Clock" << false << -1;
}

void OffscreenTest::timesOption()
{
    QFETCH(QString, word);
    QFETCH(bool, valid);
    QFETCH(int, shown);
    auto parsed = static_cast<panel::TimeShown>(-1);
    QCOMPARE(panel::parseTimeShown(word, parsed), valid);
    QCOMPARE(static_cast<int>(parsed), shown);
}

void OffscreenTest::lcdDrawsCgramCharactersDotByDot()
{
    QCOMPARE(panel::machine::setProfile("pc"), 0);
    QCOMPARE(panel::machine::setProperty("lpt1", "peripheral", "lcd:size=20x4,wiring=4bit"), 0);
    panel::machine::reset();
    // LCDproc's start in 4-bit mode; two lines, display on, clear.
    for (const int nibble : {0x03, 0x03, 0x03, 0x02})
        pulse(static_cast<std::uint8_t>(nibble));
    for (const int instruction : {0x28, 0x0C, 0x01, 0x06})
        send(0, static_cast<std::uint8_t>(instruction));
    // A bell into character 0 and a frame into 1, row by row.
    const panel::Glyph bell{0x04, 0x0E, 0x0E, 0x0E, 0x1F, 0x00, 0x04, 0x00};
    const panel::Glyph frame{0x1F, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1F};
    send(0, 0x40);
    for (const panel::Glyph &glyph : {bell, frame})
        for (const std::uint8_t row : glyph)
            send(registerSelect, row);
    // Characters 0, 9 (character 1 again) and A on the first row.
    send(0, 0x80);
    for (const int code : {0x00, 0x09, 0x41})
        send(registerSelect, static_cast<std::uint8_t>(code));

    panel::PeripheralView view;
    std::vector<panel::Device> devices = panel::machine::devices();
    const auto port = std::find_if(devices.begin(), devices.end(), [](const panel::Device &device) {
        return device.name == "lpt1";
    });
    QVERIFY(port != devices.end());
    view.showPeripheral(*port, panel::machine::peekRegisters(port->firstPort));
    panel::LcdView *lcd = view.lcd();
    QVERIFY2(lcd->text().startsWith(QStringLiteral("⓪①A")), qPrintable(lcd->text()));

    const QImage glass = lcd->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const qreal ratio = glass.devicePixelRatio();
    const auto seen = [&](const QRect &dot) {
        const QPoint centre = dot.center();
        return glass.pixelColor(qRound(centre.x() * ratio), qRound(centre.y() * ratio));
    };
    const std::array<std::pair<int, panel::Glyph>, 2> cells{{{0, bell}, {1, frame}}};
    for (const auto &[column, glyph] : cells) {
        const QRect cell = lcd->cellRect(0, column);
        for (int row = 0; row < 8; ++row) {
            QString drawn;
            QString wanted;
            for (int dot = 0; dot < 5; ++dot) {
                drawn += seen(lcd->dotRect(cell, row, dot)) == panel::LcdView::inkColour()
                             ? QChar('#')
                             : QChar('.');
                wanted += (glyph[static_cast<std::size_t>(row)] >> (4 - dot) & 1) != 0 ? QChar('#')
                                                                                       : QChar('.');
            }
            QVERIFY2(drawn == wanted, qPrintable(QStringLiteral("cell %1, row %2: %3, not %4")
                                                     .arg(column)
                                                     .arg(row)
                                                     .arg(drawn, wanted)));
        }
    }
}

QTEST_MAIN(OffscreenTest)
#include "offscreen_test.moc"
