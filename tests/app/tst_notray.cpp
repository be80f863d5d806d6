// Without a tray host the program explains itself and ends with status 1; a tray that comes
// up soon after the start is taken.
#include "x11session.h"

#include <QtTest>

using namespace BL::Test;

class TestNoTray : public QObject
{
    Q_OBJECT

private slots:
    void systrayBoxThenExitOne()
    {
        const QString conf = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Brightloom");
        CProgram program;
        QVERIFY(program.start());
        // Generous: on a loaded machine the X tools themselves can be slow to answer.
        QTRY_VERIFY_WITH_TIMEOUT(!visibleWindowsNamed(QStringLiteral("^Systray$")).isEmpty(), 30000);
        QVERIFY(program.isRunning()); // it waits for the box to be dismissed
        const QString box = visibleWindowsNamed(QStringLiteral("^Systray$")).first();
        xdotool({"windowactivate", "--sync", box});
        xdotool({"key", "--window", box, "Return"});
        QVERIFY2(program.waitForExit(10000), "the box did not end the program");
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 1);
        QVERIFY2(!QFileInfo::exists(conf), "settings were touched");
    }

    void trayAppearingAfterTheStartIsAccepted()
    {
        // At the beginning of a session the autostart entry may start the program before the panel.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("brightloom.app.debug=true"));
        CProgram program(env);
        QVERIFY(program.start());
        // The tray comes up only once the program is looking for one.
        QTRY_VERIFY_WITH_TIMEOUT(program.errorOutput().contains(QLatin1String("no tray host yet")), 30000);
        QVERIFY2(program.isRunning(), qPrintable(program.errorOutput()));
        QVERIFY(visibleWindowsNamed(QStringLiteral("^Systray$")).isEmpty());
        QProcess tray;
        tray.start(QStringLiteral("trayer"), {"--edge", "top", "--align", "right", "--widthtype", "pixel",
                                              "--width", "200", "--height", "32"});
        QVERIFY(tray.waitForStarted(5000));
        const QString icon = program.waitForTrayIcon({}, 30000);
        QVERIFY2(!icon.isEmpty(), qPrintable(program.errorOutput()));
        QVERIFY(visibleWindowsNamed(QStringLiteral("^Systray$")).isEmpty());
        program.terminate();
        QVERIFY(program.waitForExit(20000));
        tray.terminate();
        tray.waitForFinished(5000);
    }
};

QTEST_GUILESS_MAIN(TestNoTray)
#include "tst_notray.moc"
