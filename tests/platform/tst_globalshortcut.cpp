// Global shortcuts against a real X server, pressed with xdotool.
#include "platform/backends.h"
#include "platform/globalshortcut.h"
#include "x11session.h"

#include <QSignalSpy>
#include <QX11Info>
#include <QtTest>
#include <X11/Xlib.h>

using BL::Test::xdotool;

class TestGlobalShortcut : public QObject
{
    Q_OBJECT

private:
    // xdotool sends the keys; the activation arrives through our event loop.
    static void press(const QString& keys) { xdotool({QStringLiteral("key"), keys}); }

private slots:
    void initTestCase()
    {
        QVERIFY(QX11Info::isPlatformX11());
        QCOMPARE(BL::Platform::backends().name(), QStringLiteral("xcb"));
    }

    void pressActivatesOnce()
    {
        CGlobalShortcut shortcut(QKeySequence(QStringLiteral("Ctrl+Alt+P")));
        QVERIFY(shortcut.isRegistered());
        QSignalSpy spy(&shortcut, &CGlobalShortcut::activated);
        press(QStringLiteral("ctrl+alt+p"));
        QTRY_COMPARE(spy.count(), 1);
        QTest::qWait(200);
        QCOMPARE(spy.count(), 1);
        // Same letter without the modifiers, or with another one, is not ours.
        press(QStringLiteral("p"));
        press(QStringLiteral("ctrl+p"));
        press(QStringLiteral("ctrl+alt+shift+p"));
        QTest::qWait(300);
        QCOMPARE(spy.count(), 1);
    }

    void worksWithNumLockAndCapsLock()
    {
        CGlobalShortcut shortcut(QKeySequence(QStringLiteral("Ctrl+Alt+M")));
        QSignalSpy spy(&shortcut, &CGlobalShortcut::activated);
        press(QStringLiteral("Num_Lock"));
        press(QStringLiteral("ctrl+alt+m"));
        QTRY_COMPARE(spy.count(), 1);
        press(QStringLiteral("Caps_Lock"));
        press(QStringLiteral("ctrl+alt+m"));
        QTRY_COMPARE(spy.count(), 2);
        press(QStringLiteral("Num_Lock"));
        press(QStringLiteral("Caps_Lock"));
    }

    void disabledStaysRegisteredButSilent()
    {
        CGlobalShortcut shortcut(QKeySequence(QStringLiteral("Ctrl+Alt+L")));
        QSignalSpy spy(&shortcut, &CGlobalShortcut::activated);
        shortcut.setEnabled(false);
        press(QStringLiteral("ctrl+alt+l"));
        QTest::qWait(300);
        QCOMPARE(spy.count(), 0);
        QVERIFY(shortcut.isRegistered());
        shortcut.setEnabled(true);
        press(QStringLiteral("ctrl+alt+l"));
        QTRY_COMPARE(spy.count(), 1);
    }

    void setShortcutMovesTheGrab()
    {
        CGlobalShortcut shortcut(QKeySequence(QStringLiteral("Ctrl+Alt+D")));
        QSignalSpy spy(&shortcut, &CGlobalShortcut::activated);
        QVERIFY(shortcut.setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+F9"))));
        QCOMPARE(shortcut.shortcut(), QKeySequence(QStringLiteral("Ctrl+Shift+F9")));
        press(QStringLiteral("ctrl+alt+d"));
        QTest::qWait(300);
        QCOMPARE(spy.count(), 0);
        press(QStringLiteral("ctrl+shift+F9"));
        QTRY_COMPARE(spy.count(), 1);
    }

    void keyTranslation_data()
    {
        QTest::addColumn<QString>("sequence");
        QTest::addColumn<QString>("xkeys");
        // openbox itself binds plain Print and Alt+Print.
        QTest::newRow("print") << "Shift+Print"
                               << "shift+Print";
        QTest::newRow("f-key") << "Alt+F12"
                               << "alt+F12";
        QTest::newRow("digit") << "Ctrl+Alt+7"
                               << "ctrl+alt+7";
        QTest::newRow("arrow") << "Ctrl+Shift+Left"
                               << "ctrl+shift+Left";
        QTest::newRow("comma") << "Ctrl+Alt+,"
                               << "ctrl+alt+comma";
        QTest::newRow("slash") << "Meta+/"
                               << "super+slash";
        QTest::newRow("bracket") << "Ctrl+]"
                                 << "ctrl+bracketright";
        QTest::newRow("page") << "Ctrl+PgDown"
                              << "ctrl+Next";
        QTest::newRow("home") << "Alt+Home"
                              << "alt+Home";
    }

    void keyTranslation()
    {
        QFETCH(QString, sequence);
        QFETCH(QString, xkeys);
        CGlobalShortcut shortcut(QKeySequence(sequence, QKeySequence::PortableText));
        QVERIFY2(shortcut.isRegistered(), qPrintable(sequence));
        QSignalSpy spy(&shortcut, &CGlobalShortcut::activated);
        press(xkeys);
        QTRY_COMPARE(spy.count(), 1);
    }

    void combinationHeldByAnotherClient()
    {
        // A second X connection is another client as far as the server cares.
        Display* other = XOpenDisplay(nullptr);
        QVERIFY(other);
        const KeyCode h = XKeysymToKeycode(other, XStringToKeysym("h"));
        XGrabKey(other, h, ControlMask | Mod1Mask, DefaultRootWindow(other), True, GrabModeAsync,
                 GrabModeAsync);
        XSync(other, False);

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("held by another program")));
        CGlobalShortcut taken(QKeySequence(QStringLiteral("Ctrl+Alt+H")));
        QVERIFY(!taken.isRegistered());
        CGlobalShortcut free(QKeySequence(QStringLiteral("Ctrl+Alt+J")));
        QVERIFY(free.isRegistered());
        QSignalSpy takenSpy(&taken, &CGlobalShortcut::activated);
        QSignalSpy freeSpy(&free, &CGlobalShortcut::activated);
        press(QStringLiteral("ctrl+alt+h"));
        press(QStringLiteral("ctrl+alt+j"));
        QTRY_COMPARE(freeSpy.count(), 1);
        QCOMPARE(takenSpy.count(), 0);

        // Once the other client lets go, the combination can be had again.
        XCloseDisplay(other);
        QVERIFY(taken.setShortcut(QKeySequence(QStringLiteral("Ctrl+Alt+H"))));
        press(QStringLiteral("ctrl+alt+h"));
        QTRY_COMPARE(takenSpy.count(), 1);
    }

    void twoShortcutsOnOneCombinationBothFire()
    {
        CGlobalShortcut a(QKeySequence(QStringLiteral("Ctrl+Alt+K")));
        QSignalSpy spyA(&a, &CGlobalShortcut::activated);
        {
            CGlobalShortcut b(QKeySequence(QStringLiteral("Ctrl+Alt+K")));
            QSignalSpy spyB(&b, &CGlobalShortcut::activated);
            press(QStringLiteral("ctrl+alt+k"));
            QTRY_COMPARE(spyB.count(), 1);
            QCOMPARE(spyA.count(), 1);
        }
        // Destroying one must not drop the other's grab.
        press(QStringLiteral("ctrl+alt+k"));
        QTRY_COMPARE(spyA.count(), 2);
    }
};

QTEST_MAIN(TestGlobalShortcut)
#include "tst_globalshortcut.moc"
