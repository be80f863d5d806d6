// BL_PLATFORM_BACKEND=null on a real X server: the X11 backends stay unused,
// so hotkeys are inert and grabs leave the work to Qt.
#include "platform/backends.h"
#include "platform/globalshortcut.h"
#include "platform/screengrab.h"
#include "x11session.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QSignalSpy>
#include <QtTest>

namespace {

// Records the key presses our own focused window receives.
class CKeyRecorder : public QWidget
{
public:
    QList<int> keys;

protected:
    void keyPressEvent(QKeyEvent* event) override { keys << event->key(); }
};

} // namespace

class TestForcedNull : public QObject
{
    Q_OBJECT

private slots:
    void hotkeysAndGrabsStayOff()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QCOMPARE(BL::Platform::backends().name(), QStringLiteral("null"));

        CGlobalShortcut shortcut(QKeySequence(QStringLiteral("Ctrl+Alt+P")));
        QVERIFY(!shortcut.isRegistered());
        QSignalSpy spy(&shortcut, &CGlobalShortcut::activated);
        // A plain key to our own window after the combination: X delivers both on our one
        // connection in order, so once it is in, a grab's press would have come before it.
        CKeyRecorder window;
        window.setWindowTitle(QStringLiteral("forced null keys"));
        window.resize(120, 80);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(BL::Test::activateWindow(QString::number(window.winId())));
        QVERIFY(QTest::qWaitForWindowActive(&window, 10000));
        BL::Test::xdotool({QStringLiteral("key"), QStringLiteral("ctrl+alt+p")});
        BL::Test::xdotool({QStringLiteral("key"), QStringLiteral("x")});
        QTRY_VERIFY_WITH_TIMEOUT(window.keys.contains(Qt::Key_X), 10000);
        QCOMPARE(spy.count(), 0);

        // The area is on the screen and Qt grabs it; only the fast path is off.
        const QRect area(10, 10, 64, 48);
        QVERIFY(!QGuiApplication::primaryScreen()
                     ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                     .isNull());
        QVERIFY(BL::Platform::grabScreenRect(area).isNull());
    }
};

int main(int argc, char** argv)
{
    // Read at the first use of the backends, after the application exists.
    qputenv("BL_PLATFORM_BACKEND", "null");
    QApplication app(argc, argv);
    TestForcedNull test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_forcednull.moc"
