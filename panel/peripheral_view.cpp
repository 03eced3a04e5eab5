// SPDX-License-Identifier: LGPL-2.1-or-later
#include "peripheral_view.h"

#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStackedLayout>
#include <QVBoxLayout>

#include "lcd_view.h"

namespace panel {
namespace {

QString pinName(const Pin &pin)
{
    return QStringLiteral("%1 %2")
        .arg(pin.number)
        .arg(QString::fromLatin1(pin.name.data(), static_cast<qsizetype>(pin.name.size())));
}

QString text(const std::string &value) { return QString::fromStdString(value); }

QLabel *wrappingLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    return label;
}

} // namespace

QStringList loopbackWires(const Registers &registers)
{
    // The plug's wiring, output pin to input pin.
    static constexpr std::array<std::pair<int, int>, 5> wires{
        {{1, 13}, {2, 15}, {16, 10}, {17, 11}, {14, 12}}};
    QStringList described;
    for (const auto &[from, to] : wires) {
        const Pin output = *pinNumbered(from);
        const Pin input = *pinNumbered(to);
        described << QStringLiteral("%1 ──▶ %2: %3")
                         .arg(pinName(output), pinName(input),
                              lineHigh(output, registers) ? QStringLiteral("H")
                                                          : QStringLiteral("L"));
    }
    return described;
}

PeripheralView::PeripheralView(QWidget *parent) : QGroupBox(tr("Peripheral"), parent)
{
    pages_ = new QStackedLayout(this);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);

    nonePage_ = wrappingLabel(tr("Nothing on the connector: the status lines float high "
                                 "(the status register reads Busy through its inversion)."),
                              this);
    pages_->addWidget(nonePage_);

    loopbackPage_ = new QWidget(this);
    auto *loopbackLayout = new QVBoxLayout(loopbackPage_);
    loopbackLayout->addWidget(wrappingLabel(tr("The 25-pin loopback plug, its wires:"), this));
    loopbackWires_ = new QLabel(loopbackPage_);
    loopbackWires_->setObjectName(QStringLiteral("loopbackWires"));
    loopbackWires_->setFont(fixed);
    loopbackLayout->addWidget(loopbackWires_);
    loopbackLayout->addStretch();
    pages_->addWidget(loopbackPage_);

    printerPage_ = new QWidget(this);
    auto *printerLayout = new QVBoxLayout(printerPage_);
    printedBytes_ = new QLabel(printerPage_);
    printerLayout->addWidget(printedBytes_);
    paper_ = new QPlainTextEdit(printerPage_);
    paper_->setObjectName(QStringLiteral("paper"));
    paper_->setReadOnly(true);
    paper_->setFont(fixed);
    paper_->setAccessibleName(tr("Paper"));
    // Paper is white whatever the desktop's colours.
    QPalette sheet = paper_->palette();
    sheet.setColor(QPalette::Base, Qt::white);
    sheet.setColor(QPalette::Text, Qt::black);
    paper_->setPalette(sheet);
    printerLayout->addWidget(paper_);
    pages_->addWidget(printerPage_);

    switchesPage_ = wrappingLabel(
        tr("A switch on each status line (pins 10-13 and 15): click one on the connector, "
           "or Tab to it and press Space. Every program on the machine reads them in the "
           "status register."),
        this);
    pages_->addWidget(switchesPage_);

    lcdPage_ = new QWidget(this);
    auto *lcdLayout = new QVBoxLayout(lcdPage_);
    lcd_ = new LcdView(lcdPage_);
    lcdLayout->addWidget(lcd_);
    lcdDetails_ = new QLabel(lcdPage_);
    lcdLayout->addWidget(lcdDetails_);
    lcdLayout->addStretch();
    pages_->addWidget(lcdPage_);

    jtagPage_ = new QWidget(this);
    auto *jtagLayout = new QVBoxLayout(jtagPage_);
    jtagDetails_ = new QLabel(jtagPage_);
    jtagDetails_->setObjectName(QStringLiteral("jtag"));
    jtagDetails_->setFont(fixed);
    jtagLayout->addWidget(jtagDetails_);
    jtagLayout->addStretch();
    pages_->addWidget(jtagPage_);
}

void PeripheralView::showPeripheral(const Device &port, const Registers &registers)
{
    const std::string peripheral = port.property("peripheral");
    setTitle(tr("Peripheral: %1").arg(text(peripheral)));
    if (peripheral == "loopback") {
        pages_->setCurrentWidget(loopbackPage_);
        loopbackWires_->setText(loopbackWires(registers).join('\n'));
    } else if (peripheral == "printer") {
        pages_->setCurrentWidget(printerPage_);
        printedBytes_->setText(tr("Printed: %1 bytes (the last 2048 on the paper)")
                                   .arg(text(port.property("printed-bytes"))));
        const std::string paper = port.property("paper");
        if (paper != shownPaper_) {
            shownPaper_ = paper;
            paper_->setPlainText(text(paper));
            paper_->verticalScrollBar()->setValue(paper_->verticalScrollBar()->maximum());
        }
    } else if (peripheral == "switches") {
        pages_->setCurrentWidget(switchesPage_);
    } else if (peripheral == "lcd") {
        pages_->setCurrentWidget(lcdPage_);
        QStringList lines;
        for (const char *key : {"line1", "line2", "line3", "line4"})
            lines << text(port.property(key));
        lcd_->setContent(lcdContent(text(port.property("size")), text(port.property("cursor")),
                                    text(port.property("display")), lines,
                                    text(port.property("cgram"))));
        lcdDetails_->setText(tr("%1, %2 wiring, display %3, %4, cursor %5")
                                 .arg(text(port.property("size")), text(port.property("wiring")),
                                      text(port.property("display")), text(port.property("mode")),
                                      text(port.property("cursor"))));
    } else if (peripheral == "jtag") {
        pages_->setCurrentWidget(jtagPage_);
        const auto level = [&registers](int number) {
            return lineHigh(*pinNumbered(number), registers) ? QStringLiteral("H")
                                                             : QStringLiteral("L");
        };
        jtagDetails_->setText(
            tr("TAP state    %1\n"
               "Instruction  %2 (IR %3 bits)\n"
               "IDCODE       %4\n"
               "TCK %5  TMS %6  TDI %7  TDO %8 (DLC5 pins)\n"
               "DONE         %9")
                .arg(text(port.property("tap-state")), text(port.property("instruction")),
                     text(port.property("ir-length")), text(port.property("idcode")), level(3),
                     level(4), level(2), level(13), text(port.property("done"))) +
            tr(", %1 configuration bits, checksum %2")
                .arg(text(port.property("configuration-bits")),
                     text(port.property("configuration-checksum"))));
    } else {
        pages_->setCurrentWidget(nonePage_);
    }
}

} // namespace panel
