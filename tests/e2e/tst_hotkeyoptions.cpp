// The options dialog of the real program, opened from its tray menu on a private X session,
// and its hotkeys on real keyboards: held combinations, recorded hotkeys, layout switches.
#include "x11session.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <X11/Xlib.h>
#include <memory>

using namespace BL::Test;

namespace {

constexpr int kPatience = 10000;
const QString kOptionsTitle = QStringLiteral("Brightloom Options");
constexpr int kShortcutsEntry = 4; // "&Keyboard shortcuts..." (the hidden History is skipped)

void keys(const QString& combination)
{
    xdotool({QStringLiteral("key"), combination});
}

// What the window manager sends when the window's close button is pressed.
void pressCloseButton(const QString& windowId)
{
    Display* display = XOpenDisplay(nullptr);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = Window(windowId.toULong());
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
    XCloseDisplay(display);
}

// Another X client holding a combination for as long as it lives.
class CHeldCombination
{
public:
    CHeldCombination(const char* key, unsigned mods) : m_display(XOpenDisplay(nullptr))
    {
        XGrabKey(m_display, XKeysymToKeycode(m_display, XStringToKeysym(key)), mods,
                 DefaultRootWindow(m_display), True, GrabModeAsync, GrabModeAsync);
        XSync(m_display, False);
    }
    ~CHeldCombination() { XCloseDisplay(m_display); }
    CHeldCombination(const CHeldCombination&) = delete;
    CHeldCombination& operator=(const CHeldCombination&) = delete;

private:
    Display* m_display;
};

} // namespace

class TestHotkeyOptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void changedHotkeyWorksAtOnceAndAfterRestart();
    void currentHotkeysAreRecordedAndSwapped();
    void closedWhileRecordingHotkeysWorkAgain();
    void sameCombinationOnTwoRowsIsRefused();
    void heldCombinationsAreNamedInAWarning();
    void layoutSwitchKeepsEveryHotkeyOnce();

private:
    // Starts the program as a fresh user who has seen the welcome screen.
    bool startProgram();
    QString openOptions();
    bool quitFromTrayMenu();
    QSettings stored() const
    {
        return QSettings(m_user->path() + QStringLiteral("/config/Brightloom/Brightloom.conf"),
                         QSettings::IniFormat);
    }
    int logCount(const QString& text) { return m_program->errorOutput().count(text); }
    // Records `combination` on `row` of the open dialog: the row's mnemonic, the keys, Enter.
    // Waits for each step: a mnemonic presses its button only a moment later.
    void record(int row, const QString& combination);
    // Presses a hotkey that opens an overlay, checks that `action` ran once more, closes the overlay.
    void expectOverlayFrom(const QString& combination, const QString& action);

    std::unique_ptr<QTemporaryDir> m_user;
    std::unique_ptr<CProgram> m_program;
};

void TestHotkeyOptions::initTestCase()
{
    // Stock keymaps give Ctrl+Alt+F1..F12 to the server's console switch; people who want
    // them as hotkeys free them like this.
    run(QStringLiteral("setxkbmap"), {QStringLiteral("-option"), QStringLiteral("srvrkeys:none")});
}

void TestHotkeyOptions::init()
{
    m_user = std::make_unique<QTemporaryDir>();
    stored().setValue(QStringLiteral("show_pre_help"), true);
}

void TestHotkeyOptions::cleanup()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
    keys(QStringLiteral("Escape"));
}

bool TestHotkeyOptions::startProgram()
{
    QProcessEnvironment env = privateUserEnvironment(m_user->path());
    env.insert(QStringLiteral("BL_SERVICE_HOST"), QStringLiteral("127.0.0.1:9")); // nothing is uploaded here
    const QStringList before = trayIconWindows();
    m_program = std::make_unique<CProgram>(env);
    return m_program->start() && !m_program->waitForTrayIcon(before).isEmpty();
}

QString TestHotkeyOptions::openOptions()
{
    if (!chooseTrayEntry(*m_program, kShortcutsEntry))
        return QString();
    return waitForWindow(kOptionsTitle);
}

bool TestHotkeyOptions::quitFromTrayMenu()
{
    return BL::Test::quitFromTrayMenu(*m_program, kPatience);
}

void TestHotkeyOptions::record(int row, const QString& combination)
{
    static const char* const mnemonics[] = {"alt+h", "alt+n", "alt+d", "alt+l", "alt+t"};
    const QString started = QStringLiteral("options row %1 hint:").arg(row);
    const QString confirmed = QStringLiteral("options row %1 set to").arg(row);
    const int startedBefore = logCount(started);
    const int confirmedBefore = logCount(confirmed);
    keys(QLatin1String(mnemonics[row]));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(started), startedBefore + 1, kPatience);
    keys(combination);
    keys(QStringLiteral("Return"));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(confirmed), confirmedBefore + 1, kPatience);
}

void TestHotkeyOptions::expectOverlayFrom(const QString& combination, const QString& action)
{
    const QString line = QStringLiteral("hotkey %1 activated").arg(action);
    const int before = logCount(line);
    keys(combination);
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kPatience);
    // The program's output reaches us through our event loop, after the window may.
    QTRY_COMPARE_WITH_TIMEOUT(logCount(line), before + 1, kPatience);
    keys(QStringLiteral("Escape"));
    QTRY_VERIFY_WITH_TIMEOUT(!programOverlayShown(), kPatience);
}

void TestHotkeyOptions::changedHotkeyWorksAtOnceAndAfterRestart()
{
    QVERIFY(startProgram());
    QVERIFY(!openOptions().isEmpty());
    record(0, QStringLiteral("ctrl+alt+F5")); // "C&hange" of the single-shot row
    record(4, QStringLiteral("ctrl+alt+F8")); // "&Text Shot Shortcut:" presses its Change
    keys(QStringLiteral("Return"));           // OK
    QTRY_VERIFY_WITH_TIMEOUT(visibleWindowsNamed(kOptionsTitle).isEmpty(), kPatience);
    QCOMPARE(stored().value("single_shot_shortcut").toString(), QStringLiteral("Ctrl+Alt+F5"));
    QCOMPARE(stored().value("text_shot_shortcut").toString(), QStringLiteral("Ctrl+Alt+F8"));

    expectOverlayFrom(QStringLiteral("ctrl+alt+F5"), QStringLiteral("single shot"));
    if (QTest::currentTestFailed())
        return;
    // The old combination is free: the program acts on the text shot's hotkey pressed after it
    // and on nothing before.
    const int singleShots = logCount(QStringLiteral("hotkey single shot activated"));
    keys(QStringLiteral("ctrl+alt+p"));
    expectOverlayFrom(QStringLiteral("ctrl+alt+F8"), QStringLiteral("text shot"));
    QCOMPARE(logCount(QStringLiteral("hotkey single shot activated")), singleShots);

    QVERIFY(quitFromTrayMenu());
    QVERIFY(startProgram());
    expectOverlayFrom(QStringLiteral("ctrl+alt+F5"), QStringLiteral("single shot"));
    expectOverlayFrom(QStringLiteral("ctrl+alt+F8"), QStringLiteral("text shot"));
    QVERIFY(!m_program->errorOutput().contains(QLatin1String("balloon Warning")));
}

void TestHotkeyOptions::currentHotkeysAreRecordedAndSwapped()
{
    QVERIFY(startProgram());
    QVERIFY(!openOptions().isEmpty());
    // Ctrl+Alt+P is the single-shot hotkey; while a row records, it is only keys.
    keys(QStringLiteral("alt+h"));
    QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("options row 0 hint:")) == 1, kPatience);
    keys(QStringLiteral("ctrl+alt+p"));
    QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("non-modifier: 80")) == 1, kPatience);
    keys(QStringLiteral("Return"));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(QStringLiteral("options row 0 set to \"Ctrl+Alt+P\"")), 1, kPatience);
    // The recorded keys came before Enter: a hotkey they fired would be in the output by now.
    QVERIFY(!programOverlayShown());
    QCOMPARE(logCount(QStringLiteral("hotkey single shot activated")), 0);

    // Swap single and comparison shot by way of a spare combination, in one visit.
    record(0, QStringLiteral("ctrl+alt+F6"));
    record(1, QStringLiteral("ctrl+alt+p")); // "Cha&nge" of the comparison row
    record(0, QStringLiteral("ctrl+alt+m"));
    keys(QStringLiteral("Return")); // OK
    QTRY_VERIFY_WITH_TIMEOUT(visibleWindowsNamed(kOptionsTitle).isEmpty(), kPatience);
    QCOMPARE(logCount(QStringLiteral("error:")), 0);
    QVERIFY(!m_program->errorOutput().contains(QLatin1String("balloon Warning")));

    QCOMPARE(stored().value("single_shot_shortcut").toString(), QStringLiteral("Ctrl+Alt+M"));
    QCOMPARE(stored().value("comparison_shot_shortcut").toString(), QStringLiteral("Ctrl+Alt+P"));
    expectOverlayFrom(QStringLiteral("ctrl+alt+m"), QStringLiteral("single shot"));
    expectOverlayFrom(QStringLiteral("ctrl+alt+p"), QStringLiteral("comparison shot"));
    QCOMPARE(logCount(QStringLiteral("hotkey comparison shot activated")), 1);
}

void TestHotkeyOptions::closedWhileRecordingHotkeysWorkAgain()
{
    QVERIFY(startProgram());
    const QString dialog = openOptions();
    QVERIFY(!dialog.isEmpty());
    keys(QStringLiteral("alt+h"));
    QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("options row 0 hint:")) == 1, kPatience);
    keys(QStringLiteral("ctrl+alt+F6"));
    pressCloseButton(dialog);
    QTRY_VERIFY_WITH_TIMEOUT(visibleWindowsNamed(kOptionsTitle).isEmpty(), kPatience);

    expectOverlayFrom(QStringLiteral("ctrl+alt+p"), QStringLiteral("single shot"));
    expectOverlayFrom(QStringLiteral("ctrl+alt+l"), QStringLiteral("local shot"));
    QVERIFY(!stored().contains("single_shot_shortcut")); // rejected: nothing written
}

void TestHotkeyOptions::sameCombinationOnTwoRowsIsRefused()
{
    QVERIFY(startProgram());
    QVERIFY(!openOptions().isEmpty());
    keys(QStringLiteral("alt+l")); // the caption of the local-shot row presses its Change
    QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("options row 3 hint:")) == 1, kPatience);
    keys(QStringLiteral("ctrl+alt+p"));
    keys(QStringLiteral("Return"));
    const QString refusal =
        QStringLiteral("options row 3 error: \"The sequences for single shot and local shot "
                       "must be different\"");
    QTRY_COMPARE_WITH_TIMEOUT(logCount(refusal), 1, kPatience);
    // Still recording: Enter keeps refusing, and the hotkeys stay off.
    keys(QStringLiteral("Return"));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(refusal), 2, kPatience);
    keys(QStringLiteral("Escape")); // ends the recording
    keys(QStringLiteral("Return")); // OK, with the old texts
    QTRY_VERIFY_WITH_TIMEOUT(visibleWindowsNamed(kOptionsTitle).isEmpty(), kPatience);

    QCOMPARE(stored().value("local_shot_shortcut").toString(), QStringLiteral("Ctrl+Alt+L"));
    QCOMPARE(stored().value("single_shot_shortcut").toString(), QStringLiteral("Ctrl+Alt+P"));

    // The fifth row is checked against the other four, and they against it.
    QVERIFY(!openOptions().isEmpty());
    keys(QStringLiteral("alt+t"));
    QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("options row 4 hint:")) == 1, kPatience);
    keys(QStringLiteral("ctrl+alt+l"));
    keys(QStringLiteral("Return"));
    QTRY_COMPARE_WITH_TIMEOUT(
        logCount(QStringLiteral("options row 4 error: \"The sequences for local shot and "
                                "text shot must be different\"")),
        1, kPatience);
    keys(QStringLiteral("Escape"));
    keys(QStringLiteral("alt+n"));
    QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("options row 1 hint:")) == 1, kPatience);
    keys(QStringLiteral("ctrl+alt+o"));
    keys(QStringLiteral("Return"));
    QTRY_COMPARE_WITH_TIMEOUT(
        logCount(QStringLiteral("options row 1 error: \"The sequences for comparison shot "
                                "and text shot must be different\"")),
        1, kPatience);
    keys(QStringLiteral("Escape"));
    keys(QStringLiteral("Return")); // OK, with the old texts
    QTRY_VERIFY_WITH_TIMEOUT(visibleWindowsNamed(kOptionsTitle).isEmpty(), kPatience);
    QCOMPARE(stored().value("text_shot_shortcut").toString(), QStringLiteral("Ctrl+Alt+O"));
    expectOverlayFrom(QStringLiteral("ctrl+alt+p"), QStringLiteral("single shot"));
    expectOverlayFrom(QStringLiteral("ctrl+alt+l"), QStringLiteral("local shot"));
}

void TestHotkeyOptions::heldCombinationsAreNamedInAWarning()
{
    const CHeldCombination comparison("m", ControlMask | Mod1Mask);
    QVERIFY(startProgram());
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains(QLatin1String(
                                 "balloon Warning Ctrl+Alt+M (comparison shot) is held by another program")),
                             kPatience);
    QCOMPARE(logCount(QStringLiteral("balloon Warning")), 1);
    expectOverlayFrom(QStringLiteral("ctrl+alt+p"), QStringLiteral("single shot"));
    expectOverlayFrom(QStringLiteral("ctrl+alt+l"), QStringLiteral("local shot"));

    // A new combination someone else holds is named as soon as the dialog is accepted.
    const CHeldCombination local("j", ControlMask | Mod1Mask);
    QVERIFY(!openOptions().isEmpty());
    record(3, QStringLiteral("ctrl+alt+j"));
    keys(QStringLiteral("Return"));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(QStringLiteral("balloon Warning")), 2, kPatience);
    const QString output = m_program->errorOutput();
    const QString last = output.mid(output.lastIndexOf(QLatin1String("balloon Warning")));
    QVERIFY2(last.contains(QLatin1String("Ctrl+Alt+M (comparison shot) is held")), qPrintable(last));
    QVERIFY2(last.contains(QLatin1String("Ctrl+Alt+J (local shot) is held")), qPrintable(last));
    expectOverlayFrom(QStringLiteral("ctrl+alt+p"), QStringLiteral("single shot"));
}

void TestHotkeyOptions::layoutSwitchKeepsEveryHotkeyOnce()
{
    QVERIFY(startProgram());
    // French AZERTY puts M on another key; every grab must follow.
    QCOMPARE(run(QStringLiteral("setxkbmap"),
                 {QStringLiteral("fr"), QStringLiteral("-option"), QStringLiteral("srvrkeys:none")}),
             QString());
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains(QLatin1String("5 of 5 hotkeys grabbed again")),
                             kPatience);
    expectOverlayFrom(QStringLiteral("ctrl+alt+p"), QStringLiteral("single shot"));
    expectOverlayFrom(QStringLiteral("ctrl+alt+m"), QStringLiteral("comparison shot"));
    expectOverlayFrom(QStringLiteral("ctrl+alt+l"), QStringLiteral("local shot"));
    expectOverlayFrom(QStringLiteral("ctrl+alt+o"), QStringLiteral("text shot"));
    keys(QStringLiteral("ctrl+alt+d"));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(QStringLiteral("hotkey drop widget activated")), 1, kPatience);
    // A second activation of any key would come before the program handles a later click.
    QVERIFY(glanceAtTrayMenu(*m_program));
    for (const char* action : {"single shot", "comparison shot", "local shot", "text shot", "drop widget"})
        QCOMPARE(logCount(QStringLiteral("hotkey %1 activated").arg(QLatin1String(action))), 1);
    QVERIFY(quitFromTrayMenu());
    QVERIFY(stored().value("drop_widget_visible").toBool()); // toggled once, not twice
    run(QStringLiteral("setxkbmap"),
        {QStringLiteral("us"), QStringLiteral("-option"), QStringLiteral("srvrkeys:none")});
}

QTEST_MAIN(TestHotkeyOptions)
#include "tst_hotkeyoptions.moc"
