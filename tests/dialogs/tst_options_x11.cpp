// The options dialog as a real window, recording keys pressed on the X keyboard.
#include "dialogs/optionsdialog.h"
#include "resources/resources.h"
#include "x11session.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>
#include <memory>

using BL::Test::xdotool;

namespace {

// The X server and the window manager are other processes; on a loaded machine they can
// take seconds to answer. This bounds the wait, it does not measure anything.
constexpr int kPatience = 10000;

const char* const kEdits[] = {"leSingleShot", "leComparisonShotChange", "leShowDropWidgetShortcut",
                              "leLocalShot", "leTextShot"};
const char* const kHints[] = {"lbSingleHint", "lbComparisonHint", "lbShowDropWidgetShortcutHint",
                              "lbLocalShotHint", "lbTextShotHint"};
const char* const kButtons[] = {"pbSingleShotChange", "pbComparisonShotChange", "pbShowDropWidgetChange",
                                "pbLocalShotChange", "pbTextShotChange"};

const QString kPressEnter = QStringLiteral("Press 'Enter' to confirm or 'Esc' to cancel the sequence");
const QString kNoNonModifier = QStringLiteral("There must be at least one non-modifier key in the sequecne");

void keys(const QString& combination)
{
    xdotool({QStringLiteral("key"), combination});
}

} // namespace

class TestOptionsX11 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        BL::Resources::registerResources();
        // Stock keymaps give Ctrl+Alt+F1..F12 to the server's console switch; free them.
        BL::Test::run(QStringLiteral("setxkbmap"),
                      {QStringLiteral("-option"), QStringLiteral("srvrkeys:none")});
    }
    void init();
    void cleanup() { m_dialog.reset(); }

    void formCaptionsAndMnemonics();
    void recordConfirmAndAccept();
    void refusedSequencesKeepGrabbing();
    void recordingRules_data();
    void recordingRules();
    void everyEndingStopsTheRecording();
    void escWhenIdleIsCancel();

private:
    QLineEdit* edit(int row) const { return m_dialog->findChild<QLineEdit*>(QLatin1String(kEdits[row])); }
    QLabel* hint(int row) const { return m_dialog->findChild<QLabel*>(QLatin1String(kHints[row])); }
    QPushButton* change(int row) const
    {
        return m_dialog->findChild<QPushButton*>(QLatin1String(kButtons[row]));
    }
    QPushButton* ok() const
    {
        return m_dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"))
            ->button(QDialogButtonBox::Ok);
    }
    // Presses Change of `row` with the keyboard, as the person would: its caption's mnemonic.
    void startRecording(int row);
    bool grabbing() const { return !ok()->isEnabled(); }

    std::unique_ptr<COptionsDialog> m_dialog;
    std::unique_ptr<QSignalSpy> m_started;
    std::unique_ptr<QSignalSpy> m_stopped;
};

void TestOptionsX11::init()
{
    m_dialog = std::make_unique<COptionsDialog>();
    m_dialog->setSingleShotText(QStringLiteral("Ctrl+Alt+P"));
    m_dialog->setComparisonShotText(QStringLiteral("Ctrl+Alt+M"));
    m_dialog->setDropWidgetText(QStringLiteral("Ctrl+Alt+D"));
    m_dialog->setLocalShotText(QStringLiteral("Ctrl+Shift+F9"));
    m_started = std::make_unique<QSignalSpy>(m_dialog.get(), &COptionsDialog::startedChangingHotkey);
    m_stopped = std::make_unique<QSignalSpy>(m_dialog.get(), &COptionsDialog::stoppedChangingHotkey);
    m_dialog->show();
    m_dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_dialog.get(), kPatience));
}

void TestOptionsX11::startRecording(int row)
{
    static const char* const mnemonics[] = {"alt+s", "alt+c", "alt+d", "alt+l", "alt+t"};
    const int started = m_started->count();
    keys(QLatin1String(mnemonics[row]));
    QTRY_VERIFY_WITH_TIMEOUT(grabbing(), kPatience);
    QCOMPARE(m_started->count(), started + 1);
}

void TestOptionsX11::formCaptionsAndMnemonics()
{
    QCOMPARE(m_dialog->windowTitle(), QStringLiteral("Brightloom Options"));
    QVERIFY(!m_dialog->windowIcon().isNull());
    QCOMPARE(m_dialog->sizePolicy(), QSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed));
    const QStringList captions = {
        "&Single Shot Shortcut: ", "&Comparison Shot Shortcut: ", "Show &Drop Widget Shortcut:",
        "&Local Shot Shortcut:", "&Text Shot Shortcut:"};
    const QStringList changes = {"C&hange", "Cha&nge", "Change", "Change", "Change"};
    for (int row = 0; row < 5; ++row) {
        QVERIFY(edit(row)->isReadOnly());
        QVERIFY(hint(row)->text().isEmpty());
        QCOMPARE(change(row)->text(), changes[row]);
        QLabel* caption = nullptr;
        for (QLabel* label : m_dialog->findChildren<QLabel*>())
            if (label->text() == captions[row])
                caption = label;
        QVERIFY2(caption, qPrintable(captions[row]));
        QCOMPARE(caption->buddy(), change(row));
    }
    // The text shot's row comes last, below the four older ones.
    QVERIFY(edit(4)->y() > edit(3)->y());
    // Each caption's mnemonic presses its own row's Change button (Qt clicks a button buddy).
    for (int row : {4, 3, 2, 0, 1}) {
        startRecording(row);
        QVERIFY(edit(row)->hasFocus());
        QCOMPARE(hint(row)->text(), kPressEnter);
        keys(QStringLiteral("Escape"));
        QTRY_VERIFY_WITH_TIMEOUT(!grabbing(), kPatience);
    }
    QCOMPARE(m_stopped->count(), 5);
}

void TestOptionsX11::recordConfirmAndAccept()
{
    keys(QStringLiteral("alt+h")); // "C&hange" presses the single-shot button directly
    QTRY_VERIFY_WITH_TIMEOUT(grabbing(), kPatience);
    QCOMPARE(m_started->count(), 1);
    QVERIFY(edit(0)->text().isEmpty());
    QCOMPARE(hint(0)->text(), kPressEnter);
    for (int row = 0; row < 4; ++row)
        QVERIFY(!change(row)->isEnabled());

    keys(QStringLiteral("ctrl+alt+F5"));
    QTRY_COMPARE_WITH_TIMEOUT(edit(0)->text(), QStringLiteral("Ctrl+Alt+F5"), kPatience);
    keys(QStringLiteral("Return"));
    QTRY_COMPARE_WITH_TIMEOUT(m_stopped->count(), 1, kPatience);
    QCOMPARE(m_started->count(), 1);
    QVERIFY(ok()->isEnabled());
    QVERIFY(hint(0)->text().isEmpty());
    QCOMPARE(QWidget::keyboardGrabber(), nullptr);

    // Enter, no longer recording, is OK: the edited row and the three passed in come back.
    QSignalSpy finished(m_dialog.get(), &QDialog::finished);
    keys(QStringLiteral("Return"));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kPatience);
    QCOMPARE(finished.first().first().toInt(), int(QDialog::Accepted));
    QCOMPARE(m_dialog->singleShotText(), QStringLiteral("Ctrl+Alt+F5"));
    QCOMPARE(m_dialog->comparisonShotText(), QStringLiteral("Ctrl+Alt+M"));
    QCOMPARE(m_dialog->dropWidgetText(), QStringLiteral("Ctrl+Alt+D"));
    QCOMPARE(m_dialog->localShotText(), QStringLiteral("Ctrl+Shift+F9"));
}

void TestOptionsX11::refusedSequencesKeepGrabbing()
{
    const auto refused = [this](int row, const QString& message) {
        QTRY_COMPARE_WITH_TIMEOUT(hint(row)->text(), message, kPatience);
        QCOMPARE(hint(row)->styleSheet(), QStringLiteral("color: red;"));
        QVERIFY(grabbing());
        QCOMPARE(m_stopped->count(), m_started->count() - 1);
    };

    // Modifiers alone cannot be confirmed; a key added afterwards can.
    startRecording(3);
    keys(QStringLiteral("ctrl+shift"));
    QTRY_COMPARE_WITH_TIMEOUT(edit(3)->text(), QStringLiteral("Ctrl+Shift"), kPatience);
    keys(QStringLiteral("Return"));
    refused(3, kNoNonModifier);
    keys(QStringLiteral("F7"));
    QTRY_COMPARE_WITH_TIMEOUT(edit(3)->text(), QStringLiteral("Ctrl+Shift+F7"), kPatience);
    keys(QStringLiteral("Return"));
    QTRY_VERIFY_WITH_TIMEOUT(!grabbing(), kPatience);
    QVERIFY(hint(3)->styleSheet().isEmpty());

    // The single-shot combination on the comparison row, in another order.
    startRecording(1);
    keys(QStringLiteral("alt+ctrl+p"));
    QTRY_COMPARE_WITH_TIMEOUT(edit(1)->text(), QStringLiteral("Alt+Ctrl+P"), kPatience);
    keys(QStringLiteral("Return"));
    refused(1, QStringLiteral("The sequences for single shot and comparison shot must be different"));
    keys(QStringLiteral("Escape"));
    QTRY_VERIFY_WITH_TIMEOUT(!grabbing(), kPatience);
    QCOMPARE(edit(1)->text(), QStringLiteral("Ctrl+Alt+M"));

    // Any two rows: the drop-widget row given the local-shot combination.
    startRecording(2);
    keys(QStringLiteral("ctrl+shift+F7"));
    keys(QStringLiteral("Return"));
    refused(2, QStringLiteral("The sequences for show drop widget and local shot must be different"));
    keys(QStringLiteral("Escape"));
    QTRY_VERIFY_WITH_TIMEOUT(!grabbing(), kPatience);
    QCOMPARE(m_stopped->count(), m_started->count());

    m_dialog->accept();
    QCOMPARE(m_dialog->comparisonShotText(), QStringLiteral("Ctrl+Alt+M"));
    QCOMPARE(m_dialog->dropWidgetText(), QStringLiteral("Ctrl+Alt+D"));
    QCOMPARE(m_dialog->localShotText(), QStringLiteral("Ctrl+Shift+F7"));
}

void TestOptionsX11::recordingRules_data()
{
    QTest::addColumn<QStringList>("pressed");
    QTest::addColumn<QString>("shown");
    QTest::newRow("a fourth modifier is ignored")
        << QStringList{"ctrl+alt+shift+super+x"} << "Ctrl+Alt+Shift+X";
    QTest::newRow("the Windows key is Meta") << QStringList{"super+x"} << "Meta+X";
    QTest::newRow("a held key counts once")
        << QStringList{"keydown ctrl", "keydown ctrl", "key a", "keyup ctrl"} << "Ctrl+A";
    QTest::newRow("a second key replaces the first") << QStringList{"ctrl+a", "b"} << "Ctrl+B";
    QTest::newRow("comma is not recorded") << QStringList{"ctrl+comma"} << "Ctrl";
    QTest::newRow("shifted symbol") << QStringList{"ctrl+shift+1"} << "Ctrl+Shift+!";
    QTest::newRow("keypad key") << QStringList{"Num_Lock", "ctrl+alt+KP_Begin", "Num_Lock"}
                                << "Ctrl+Alt+Num+5";
    QTest::newRow("print is a modifier") << QStringList{"Print", "a"} << "Print+A";
}

void TestOptionsX11::recordingRules()
{
    QFETCH(QStringList, pressed);
    QFETCH(QString, shown);
    startRecording(0);
    for (const QString& step : pressed)
        xdotool(step.startsWith(QLatin1String("key")) ? step.split(QLatin1Char(' '))
                                                      : QStringList{QStringLiteral("key"), step});
    QTRY_COMPARE_WITH_TIMEOUT(edit(0)->text(), shown, kPatience);
    // Return comes after every event of the keys above, their releases too: the text it finds is
    // the one recorded.
    keys(QStringLiteral("Return"));
    if (shown == QLatin1String("Ctrl")) {
        QTRY_COMPARE_WITH_TIMEOUT(hint(0)->text(), kNoNonModifier, kPatience);
        QCOMPARE(edit(0)->text(), shown);
        keys(QStringLiteral("Escape"));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(!grabbing(), kPatience);
        QCOMPARE(edit(0)->text(), shown);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!grabbing(), kPatience);
    QCOMPARE(m_stopped->count(), 1);
}

void TestOptionsX11::everyEndingStopsTheRecording()
{
    // Esc while recording puts the old text back and leaves the dialog open.
    startRecording(0);
    keys(QStringLiteral("ctrl+alt+F6"));
    QTRY_COMPARE_WITH_TIMEOUT(edit(0)->text(), QStringLiteral("Ctrl+Alt+F6"), kPatience);
    keys(QStringLiteral("Escape"));
    QTRY_COMPARE_WITH_TIMEOUT(m_stopped->count(), 1, kPatience);
    QCOMPARE(edit(0)->text(), QStringLiteral("Ctrl+Alt+P"));
    QVERIFY(hint(0)->text().isEmpty());
    QVERIFY(m_dialog->isVisible());

    // Closed while recording: rejected, and the recording ends with it.
    QSignalSpy finished(m_dialog.get(), &QDialog::finished);
    startRecording(1);
    keys(QStringLiteral("ctrl+alt+F6"));
    QTRY_COMPARE_WITH_TIMEOUT(edit(1)->text(), QStringLiteral("Ctrl+Alt+F6"), kPatience);
    m_dialog->close();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().first().toInt(), int(QDialog::Rejected));
    QCOMPARE(m_stopped->count(), 2);
    QCOMPARE(m_started->count(), 2);
    QCOMPARE(QWidget::keyboardGrabber(), nullptr);
    QCOMPARE(m_dialog->comparisonShotText(), QStringLiteral("Ctrl+Alt+M"));
}

void TestOptionsX11::escWhenIdleIsCancel()
{
    QSignalSpy finished(m_dialog.get(), &QDialog::finished);
    keys(QStringLiteral("Escape"));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kPatience);
    QCOMPARE(finished.first().first().toInt(), int(QDialog::Rejected));
    QCOMPARE(m_started->count(), 0);
    QCOMPARE(m_stopped->count(), 0);
}

QTEST_MAIN(TestOptionsX11)
#include "tst_options_x11.moc"
