// SPDX-License-Identifier: LGPL-2.1-or-later
// The connector's logic: each pin's line level from the registers, the
// register value that sets a switch, and the texts the views derive from
// the machine's properties.
#include <QtTest>

#include "connector_view.h"
#include "device_strip.h"
#include "lcd_view.h"
#include "peripheral_view.h"
#include "pins.h"
#include "transfer_log.h"

using panel::Registers;

class PinsTest : public QObject {
    Q_OBJECT

private slots:
    void lineLevel_data();
    void lineLevel();
    void everyPinOnce();
    void switchSetting_data();
    void switchSetting();
    void loopbackWiresFollowTheLines();
    void portFilter_data();
    void portFilter();
    void newTransfersSinceTheLast();
    void lcdFromProperties_data();
    void lcdFromProperties();
    void registerAndPostTexts();
};

void PinsTest::lineLevel_data()
{
    QTest::addColumn<int>("pin");
    QTest::addColumn<uint>("data");
    QTest::addColumn<uint>("status");
    QTest::addColumn<uint>("control");
    QTest::addColumn<bool>("high");
    // The data lines are the latch's bits as they are.
    QTest::newRow("D0 set") << 2 << 0x55U << 0U << 0U << true;
    QTest::newRow("D1 clear") << 3 << 0x55U << 0U << 0U << false;
    QTest::newRow("D7 set") << 9 << 0x80U << 0U << 0U << true;
    // The control register inverts nStrobe, nAutoFeed and nSelectIn...
    QTest::newRow("nStrobe bit clear: line high") << 1 << 0U << 0U << 0x0CU << true;
    QTest::newRow("nStrobe bit set: line low") << 1 << 0U << 0U << 0x0DU << false;
    QTest::newRow("nAutoFeed bit set: line low") << 14 << 0U << 0U << 0x02U << false;
    QTest::newRow("nSelectIn at reset (bit set): line low") << 17 << 0U << 0U << 0xECU << false;
    QTest::newRow("nSelectIn bit clear: line high") << 17 << 0U << 0U << 0xE4U << true;
    // ...but not nInit.
    QTest::newRow("nInit at reset: high") << 16 << 0U << 0U << 0xECU << true;
    QTest::newRow("nInit bit clear: low") << 16 << 0U << 0U << 0xE8U << false;
    // The status register inverts Busy alone.
    QTest::newRow("Busy, nothing plugged (0x7f): high") << 11 << 0U << 0x7FU << 0U << true;
    QTest::newRow("Busy, printer ready (0xdf): low") << 11 << 0U << 0xDFU << 0U << false;
    QTest::newRow("nAck, printer's pulse (0x1f): low") << 10 << 0U << 0x1FU << 0U << false;
    QTest::newRow("nAck at rest: high") << 10 << 0U << 0x7FU << 0U << true;
    QTest::newRow("PaperOut set: high") << 12 << 0U << 0x20U << 0U << true;
    QTest::newRow("Select clear: low") << 13 << 0U << 0x6FU << 0U << false;
    QTest::newRow("nError set: high") << 15 << 0U << 0x08U << 0U << true;
}

void PinsTest::lineLevel()
{
    QFETCH(int, pin);
    QFETCH(uint, data);
    QFETCH(uint, status);
    QFETCH(uint, control);
    QFETCH(bool, high);
    const Registers registers{static_cast<std::uint8_t>(data), static_cast<std::uint8_t>(status),
                              static_cast<std::uint8_t>(control)};
    QCOMPARE(panel::lineHigh(*panel::pinNumbered(pin), registers), high);
}

void PinsTest::everyPinOnce()
{
    // Each register bit is one pin: eight data bits, bits 3..7 of status,
    // bits 0..3 of control; 18..25 are ground.
    std::array<unsigned, 3> seen{};
    for (int number = 1; number <= panel::connectorPins; ++number) {
        const auto pin = panel::pinNumbered(number);
        QCOMPARE(pin.has_value(), number < panel::firstGroundPin);
        if (!pin)
            continue;
        QCOMPARE(pin->number, number);
        auto &bits = seen[static_cast<std::size_t>(pin->reg)];
        QVERIFY2((bits & pin->mask) == 0, qPrintable(QString::number(number)));
        bits |= pin->mask;
    }
    QCOMPARE(seen, (std::array<unsigned, 3>{0xFF, 0xF8, 0x0F}));
}

void PinsTest::switchSetting_data()
{
    QTest::addColumn<int>("pin");
    QTest::addColumn<uint>("before");
    QTest::addColumn<bool>("high");
    QTest::addColumn<uint>("after");
    QTest::newRow("nAck low from rest") << 10 << 0x78U << false << 0x38U;
    QTest::newRow("nAck high again") << 10 << 0x38U << true << 0x78U;
    QTest::newRow("Busy low sets its bit") << 11 << 0x78U << false << 0xF8U;
    QTest::newRow("Busy high clears it") << 11 << 0xF8U << true << 0x78U;
    QTest::newRow("PaperOut low") << 12 << 0x78U << false << 0x58U;
    QTest::newRow("Select low") << 13 << 0x78U << false << 0x68U;
    QTest::newRow("nError low") << 15 << 0x78U << false << 0x70U;
    QTest::newRow("already so: unchanged") << 13 << 0x78U << true << 0x78U;
}

void PinsTest::switchSetting()
{
    QFETCH(int, pin);
    QFETCH(uint, before);
    QFETCH(bool, high);
    QFETCH(uint, after);
    const panel::Pin switched = *panel::pinNumbered(pin);
    const std::uint8_t value = panel::withLine(switched, static_cast<std::uint8_t>(before), high);
    QCOMPARE(uint{value}, after);
    QCOMPARE(panel::lineHigh(switched, Registers{0, value, 0}), high);
}

void PinsTest::loopbackWiresFollowTheLines()
{
    // At reset (control 0xEC): nStrobe high, D0 low, nInit high, nSelectIn
    // low, nAutoFeed high.
    QCOMPARE(panel::loopbackWires(Registers{0x00, 0xF7, 0xEC}),
             (QStringList{"1 nStrobe ──▶ 13 Select: H", "2 D0 ──▶ 15 nError: L",
                          "16 nInit ──▶ 10 nAck: H", "17 nSelectIn ──▶ 11 Busy: L",
                          "14 nAutoFeed ──▶ 12 PaperOut: H"}));
}

void PinsTest::portFilter_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("port"); // -1: every port
    QTest::newRow("empty: all") << "" << true << -1;
    QTest::newRow("blank: all") << "  " << true << -1;
    QTest::newRow("0x378") << "0x378" << true << 0x378;
    QTest::newRow("bare hex") << "37a" << true << 0x37A;
    QTest::newRow("upper-case prefix") << "0X80" << true << 0x80;
    QTest::newRow("last port") << "ffff" << true << 0xFFFF;
    QTest::newRow("past the last") << "10000" << false << 0;
    QTest::newRow("not hex") << "lpt1" << false << 0;
}

void PinsTest::portFilter()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(int, port);
    std::optional<std::uint16_t> filter = 0x1234;
    QCOMPARE(panel::parsePortFilter(text, filter), valid);
    QCOMPARE(filter ? int{*filter} : -1, valid ? port : 0x1234);
}

void PinsTest::newTransfersSinceTheLast()
{
    const std::vector<qport_sim_transfer> recorded{{10, 'o', 8, 0x378, 0x55},
                                                   {20, 'i', 8, 0x379, 0x7F},
                                                   {30, 'o', 8, 0x80, 0x12},
                                                   {40, 'o', 8, 0x378, 0xAA},
                                                   {50, 'i', 8, 0x379, 0x7F}};
    const auto times = [](const std::vector<qport_sim_transfer> &transfers) {
        QList<quint64> found;
        for (const auto &transfer : transfers)
            found << transfer.time_ns;
        return found;
    };
    QCOMPARE(times(panel::newTransfers(recorded, 0, std::nullopt, 100)),
             (QList<quint64>{10, 20, 30, 40, 50}));
    QCOMPARE(times(panel::newTransfers(recorded, 30, std::nullopt, 100)), (QList<quint64>{40, 50}));
    QCOMPARE(times(panel::newTransfers(recorded, 0, 0x378, 100)), (QList<quint64>{10, 40}));
    // The newest ones when there are more than the table holds.
    QCOMPARE(times(panel::newTransfers(recorded, 0, std::nullopt, 2)), (QList<quint64>{40, 50}));
    QVERIFY(panel::newTransfers(recorded, 50, std::nullopt, 100).empty());
}

void PinsTest::lcdFromProperties_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<QString>("cursor");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<int>("cursorRow");
    QTest::addColumn<int>("cursorColumn");
    QTest::addColumn<bool>("underline");
    QTest::newRow("20x4, underline cursor")
        << "20x4"
        << "2,5 underline" << QStringList{"Hello", "", "", ""} << 1 << 4 << true;
    QTest::newRow("16x2, blinking block")
        << "16x2"
        << "1,1 blinking" << QStringList{"ab", "cd"} << 0 << 0 << false;
    QTest::newRow("hidden cursor") << "16x2"
                                   << "1,1 hidden" << QStringList{"", ""} << -1 << -1 << false;
    QTest::newRow("off-screen") << "8x1"
                                << "off-screen underline" << QStringList{""} << -1 << -1 << false;
}

void PinsTest::lcdFromProperties()
{
    QFETCH(QString, size);
    QFETCH(QString, cursor);
    QFETCH(QStringList, rows);
    QFETCH(int, cursorRow);
    QFETCH(int, cursorColumn);
    QFETCH(bool, underline);
    const panel::LcdContent content = panel::lcdContent(size, cursor, "on", rows, {});
    const int columns = size.section('x', 0, 0).toInt();
    QCOMPARE(content.columns, columns);
    QCOMPARE(content.rows.size(), rows.size());
    for (qsizetype row = 0; row < rows.size(); ++row)
        QCOMPARE(content.rows[row], rows[row].leftJustified(columns, ' ', true));
    QCOMPARE(content.cursorRow, cursorRow);
    QCOMPARE(content.cursorColumn, cursorColumn);
    QCOMPARE(content.underline, underline);
    QVERIFY(content.displayOn);
}

void PinsTest::registerAndPostTexts()
{
    QCOMPARE(panel::registerText(0x55), QStringLiteral("0x55  0101 0101"));
    QCOMPARE(panel::registerText(0x0C), QStringLiteral("0x0c  0000 1100"));
    QCOMPARE(panel::postDigits("0x3f"), QStringLiteral("3F"));
    QCOMPARE(panel::postDigits("0x05"), QStringLiteral("05"));
    QCOMPARE(panel::postDigits("none"), QStringLiteral("--"));
}

QTEST_MAIN(PinsTest)
#include "pins_test.moc"
