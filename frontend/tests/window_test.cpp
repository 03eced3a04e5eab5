// SPDX-License-Identifier: LGPL-2.1-or-later
// The main window on the offscreen platform and the simulated port space.
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>
#include <QtTest>

#include <optional>
#include <vector>

#include "notice_box.h"
#include "qport_sim.h"
#include "quorrel_notices.h"
#include "tform1.h"

namespace {

struct Preset {
    uint16_t port;
    uint8_t value;
};

std::vector<qport_sim_transfer> recordedTransfers()
{
    std::vector<qport_sim_transfer> transfers(qport_sim_transfers(nullptr, 0));
    qport_sim_transfers(transfers.data(), transfers.size());
    return transfers;
}

QString describe(const qport_sim_transfer &transfer)
{
    return QStringLiteral("%1 %2 %3 %4")
        .arg(transfer.direction == 'i' ? "in" : "out")
        .arg(transfer.width_bits)
        .arg(transfer.port, 4, 16, QChar('0'))
        .arg(transfer.value, transfer.width_bits / 4, 16, QChar('0'));
}

QStringList describeTransfers()
{
    QStringList described;
    for (const auto &transfer : recordedTransfers())
        described << describe(transfer);
    return described;
}

const QStringList oneRunFromReset{
    "in 32 0378 ffec7f00", "out 32 0378 00ffffff", "in 16 0378 7fff",
    "out 16 0378 ff00",    "in 8 0378 00",         "out 8 457a da",
};
// The first run's 32-bit write leaves ff in the control register.
const QStringList nextRun{
    "in 32 0378 ffff7f00", "out 32 0378 00ffffff", "in 16 0378 7fff",
    "out 16 0378 ff00",    "in 8 0378 00",         "out 8 457a da",
};

} // namespace

Q_DECLARE_METATYPE(std::vector<Preset>)

class WindowTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void initialWindow();
    void runsTheExercise_data();
    void runsTheExercise();
    void presetValues_data();
    void presetValues();
    void twoClicksGiveTwoRuns();
    void clickWhileNoticeOpenNestsARun();
    void refusedAccess_data();
    void refusedAccess();
    void noticeBoxBlocksWithoutDisablingTheWindow();
    void noticeBoxKeepsACommandOnOneLine_data();
    void noticeBoxKeepsACommandOnOneLine();

private:
    // At each pause: the caption, and whether the screen showed the window
    // exactly as it is then.
    void recordPause();

    std::unique_ptr<TForm1> form;
    std::unique_ptr<RecordingPresenter> presenter;
    QStringList captionsAtPauses;
    int pausesWithStaleScreen = 0;
    int pausesWithCutCaption = 0;
};

void WindowTest::init()
{
    qport_sim_refuse(QPORT_ACCESS_GRANTED);
    qport_sim_reset();
    presenter = std::make_unique<RecordingPresenter>();
    captionsAtPauses.clear();
    pausesWithStaleScreen = 0;
    pausesWithCutCaption = 0;
    form = std::make_unique<TForm1>(nullptr, [this](std::chrono::milliseconds) { recordPause(); });
    Form1 = form.get();
    form->show();
    form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
}

void WindowTest::cleanup()
{
    form.reset();
    Form1 = nullptr;
    presenter.reset();
    qport_sim_refuse(QPORT_ACCESS_GRANTED);
}

void WindowTest::recordPause()
{
    const QLabel &label = *form->Label1;
    captionsAtPauses << label.text();
    if (label.width() < label.fontMetrics().horizontalAdvance(label.text()) ||
        label.pos() != QPoint(360, 200))
        ++pausesWithCutCaption;
    // The pause processes no events, so what is on the screen now is what
    // the repaints before it put there.
    const QImage onScreen = form->screen()->grabWindow(form->winId()).toImage();
    const QImage current = form->grab().toImage();
    if (onScreen.convertToFormat(QImage::Format_RGB32) !=
        current.convertToFormat(QImage::Format_RGB32))
        ++pausesWithStaleScreen;
}

void WindowTest::initialWindow()
{
    QCOMPARE(form->windowTitle(), QString("Form1"));
    QCOMPARE(form->frameGeometry(), QRect(192, 103, 544, 375)); // No frame offscreen.
    QCOMPARE(form->Label1->text(), QString());
    QCOMPARE(form->Label1->pos(), QPoint(360, 200));
    QCOMPARE(form->Button1->text(), QString("Access &DLL"));
    QCOMPARE(form->Button1->geometry(), QRect(208, 192, 75, 25));
    QCOMPARE(QKeySequence::mnemonic(form->Button1->text()), QKeySequence(Qt::ALT | Qt::Key_D));
    QCOMPARE(QFontInfo(form->font()).pixelSize(), 11);
    QCOMPARE(QFontInfo(form->Label1->font()).pixelSize(), 11);
    QVERIFY(form->isEnabled() && form->Button1->isEnabled());
}

void WindowTest::runsTheExercise_data()
{
    QTest::addColumn<bool>("byKeyboard");
    QTest::newRow("click") << false;
    QTest::newRow("Alt+D") << true;
}

void WindowTest::runsTheExercise()
{
    QFETCH(bool, byKeyboard);
    if (byKeyboard)
        QTest::keyClick(form.get(), Qt::Key_D, Qt::AltModifier);
    else
        QTest::mouseClick(form->Button1, Qt::LeftButton);

    // The accelerator presses the button visibly, so its click comes later.
    QTRY_COMPARE(presenter->notices(), std::vector{successNotice});
    QCOMPARE(captionsAtPauses, QStringList({"-1278208", "32767", "0"}));
    QCOMPARE(pausesWithStaleScreen, 0);
    QCOMPARE(describeTransfers(), oneRunFromReset);
    QCOMPARE(form->Label1->text(), QString("0"));
}

void WindowTest::presetValues_data()
{
    // The 32-bit read spans 0x378..0x37B: the data latch, the status
    // register, the control register (bits 5..7 read as ones) and an
    // unbacked port. The 16-bit read follows the 32-bit write, which leaves
    // ff in the latch; the 8-bit read follows the 16-bit write's 00.
    QTest::addColumn<std::vector<Preset>>("presets");
    QTest::addColumn<QStringList>("captions");
    QTest::newRow("all ones") << std::vector<Preset>{{0x378, 0xFF},
                                                     {0x379, 0xFF},
                                                     {0x37A, 0xFF},
                                                     {0x37B, 0xFF}}
                              << QStringList{"-1", "-1", "0"};
    QTest::newRow("largest") << std::vector<Preset>{{0x378, 0xFF},
                                                    {0x379, 0xFF},
                                                    {0x37A, 0xFF},
                                                    {0x37B, 0x7F}}
                             << QStringList{"2147483647", "-1", "0"};
    QTest::newRow("most negative")
        << std::vector<Preset>{{0x378, 0x00}, {0x379, 0x00}, {0x37A, 0x00}, {0x37B, 0x80}}
        << QStringList{"-2132803584", "255", "0"};
    QTest::newRow("status sign bit")
        << std::vector<Preset>{{0x379, 0x80}} << QStringList{"-1277952", "-32513", "0"};
}

void WindowTest::presetValues()
{
    QFETCH(std::vector<Preset>, presets);
    QFETCH(QStringList, captions);
    for (const Preset &preset : presets)
        qport_sim_preset(preset.port, preset.value);

    QTest::mouseClick(form->Button1, Qt::LeftButton);

    QCOMPARE(captionsAtPauses, captions);
    QCOMPARE(pausesWithCutCaption, 0);
    QCOMPARE(pausesWithStaleScreen, 0);
}

void WindowTest::twoClicksGiveTwoRuns()
{
    QTest::mouseClick(form->Button1, Qt::LeftButton);
    QTest::mouseClick(form->Button1, Qt::LeftButton);

    QCOMPARE(captionsAtPauses, QStringList({"-1278208", "32767", "0", "-33024", "32767", "0"}));
    QCOMPARE(describeTransfers(), oneRunFromReset + nextRun);
    QCOMPARE(presenter->notices(), std::vector({successNotice, successNotice}));
}

void WindowTest::clickWhileNoticeOpenNestsARun()
{
    // Nothing is disabled while a notice is open: a click starts a second
    // run inside the first, which goes on only after the inner one ends.
    bool clickedOnce = false;
    presenter->while_open = [&](const RecordedNotice &) {
        if (std::exchange(clickedOnce, true))
            return;
        QCOMPARE(recordedTransfers().size(), size_t{6});
        QTest::mouseClick(form->Button1, Qt::LeftButton);
        QCOMPARE(presenter->notices().size(), size_t{1}); // The inner run's.
    };

    QTest::mouseClick(form->Button1, Qt::LeftButton);

    QCOMPARE(describeTransfers(), oneRunFromReset + nextRun);
    QCOMPARE(presenter->notices(), std::vector({successNotice, successNotice}));
}

void WindowTest::refusedAccess_data()
{
    QTest::addColumn<int>("cause");
    QTest::newRow("no privilege") << int(QPORT_ACCESS_NO_PRIVILEGE);
    QTest::newRow("no kernel support") << int(QPORT_ACCESS_NO_KERNEL_SUPPORT);
    QTest::newRow("lockdown") << int(QPORT_ACCESS_LOCKDOWN);
}

void WindowTest::refusedAccess()
{
    QFETCH(int, cause);
    qport_sim_refuse(static_cast<qport_access>(cause));

    QTest::mouseClick(form->Button1, Qt::LeftButton);

    QCOMPARE(presenter->notices().size(), size_t{1});
    QCOMPARE(presenter->notices()[0].title, std::string(quorrel::accessRefusedTitle));
    QCOMPARE(presenter->notices()[0].text, std::string(qport_access_message()));
    QVERIFY(presenter->notices()[0].title != successNotice.title);
    QVERIFY(recordedTransfers().empty());
    QCOMPARE(form->Label1->text(), QString());
}

void WindowTest::noticeBoxBlocksWithoutDisablingTheWindow()
{
    struct SeenBox {
        QString title, text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        bool owned;
        bool roomForTitle;
    };
    std::optional<SeenBox> seen;
    bool windowUsable = false;
    QTimer::singleShot(0, [&] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (box == nullptr || !box->isVisible())
                continue;
            seen = SeenBox{box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                           box->parentWidget() != nullptr,
                           // the title and a title bar's icon and buttons
                           box->width() >=
                               box->fontMetrics().horizontalAdvance(box->windowTitle()) + 100};
            windowUsable = form->isEnabled() && QApplication::activeModalWidget() == nullptr;
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        }
    });

    const int answer = showNoticeBox("Operation Success!", "DLL successfully called.", nullptr);

    QCOMPARE(answer, 1);
    QVERIFY(seen.has_value());
    QCOMPARE(seen->title, QString("Operation Success!"));
    QCOMPARE(seen->text, QString("<p>DLL successfully called.</p>"));
    QCOMPARE(seen->icon, QMessageBox::NoIcon);
    QCOMPARE(seen->buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(!seen->owned);
    QVERIFY(seen->roomForTitle);
    QVERIFY(windowUsable);
}

void WindowTest::noticeBoxKeepsACommandOnOneLine_data()
{
    QTest::addColumn<QString>("text");
    const QString command = "    sudo setcap cap_sys_rawio+ep "
                            "/opt/vendor-tools/parallel-port-utilities/bin/quorrel-for-the-lab";
    // The shapes of the refusal notices: a command amid a paragraph, and one
    // followed by more than one blank line.
    QTest::newRow("within a paragraph")
        << "this process lacks the CAP_SYS_RAWIO capability.\n\nRun the program as root, "
           "or give it that capability once:\n" +
               command + "\nA container must be started with CAP_SYS_RAWIO as well.";
    QTest::newRow("before blank lines") << "Run the program outside the container:\n" + command +
                                               "\n\n\nNo port transfer was made.";
}

// A command in a notice stays whole on one line: a break in its path would
// read as part of the command when it is copied.
void WindowTest::noticeBoxKeepsACommandOnOneLine()
{
    QFETCH(QString, text);
    const QString command = text.split('\n').filter("sudo setcap").front();
    struct SeenCommand {
        QString blockText;
        int lines = 0;
        bool wholeWidthShown = false;
        bool selectable = false;
        bool emptyParagraph = false;
    };
    std::optional<SeenCommand> seen;
    QTimer::singleShot(0, [&] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (box == nullptr || !box->isVisible())
                continue;
            // The label lays its text out in a document of its own.
            const auto *label = box->findChild<QLabel *>("qt_msgbox_label");
            const auto *document = label ? label->findChild<QTextDocument *>() : nullptr;
            if (document != nullptr) {
                const QTextBlock block = document->find(command.trimmed()).block();
                seen =
                    SeenCommand{block.text(), block.layout() ? block.layout()->lineCount() : 0,
                                label->width() >= label->fontMetrics().horizontalAdvance(command),
                                (label->textInteractionFlags() & Qt::TextSelectableByMouse) != 0};
                for (QTextBlock each = document->begin(); each.isValid(); each = each.next())
                    seen->emptyParagraph |= each.text().trimmed().isEmpty();
            }
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        }
    });
    showNoticeBox("Access refused", text.toUtf8().constData(), nullptr);

    QVERIFY(seen.has_value());
    QCOMPARE(seen->blockText, command);
    QCOMPARE(seen->lines, 1);
    QVERIFY(seen->wholeWidthShown);
    QVERIFY(seen->selectable);
    QVERIFY(!seen->emptyParagraph);
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
