// Start-up of the real program on a private X session with a tray host.
#include "x11session.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace BL::Test;

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void secondStartWakesFirstInstance();
    void otherUserGetsOwnInstance();
    void staleLockAfterKillDoesNotBlock();
    void quitFromTrayMenuWritesDefaults();
    void terminationSignalShutsDownInOrder();

private:
    // Another start while `owner` runs: `owner` hears "Wake up!" and the start leaves at once, with 0.
    static void verifyLaterStartIsAnswered(CProgram& owner);
};

void TestStartup::verifyLaterStartIsAnswered(CProgram& owner)
{
    CProgram later;
    QVERIFY(later.start());
    QVERIFY2(later.waitForExit(4000), "later instance kept running");
    QCOMPARE(later.exitStatus(), QProcess::NormalExit);
    QCOMPARE(later.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(owner.errorOutput().contains(QLatin1String("\"Wake up!\"")), 3000);
    QVERIFY(owner.isRunning());
}

void TestStartup::secondStartWakesFirstInstance()
{
    const QStringList before = trayIconWindows();
    CProgram first;
    QVERIFY(first.start());
    const QString icon = first.waitForTrayIcon(before);
    QVERIFY2(!icon.isEmpty(), qPrintable(first.errorOutput()));

    verifyLaterStartIsAnswered(first);
    QVERIFY(!QTest::currentTestFailed());
    // The second start docked nothing of its own.
    QCOMPARE(trayIconWindows().size(), before.size() + 1);
}

void TestStartup::otherUserGetsOwnInstance()
{
    QTemporaryDir otherUser;
    const QStringList before = trayIconWindows();
    CProgram mine;
    QVERIFY(mine.start());
    const QString myIcon = mine.waitForTrayIcon(before);
    QVERIFY(!myIcon.isEmpty());

    CProgram theirs(privateUserEnvironment(otherUser.path()));
    QVERIFY(theirs.start());
    const QString theirIcon = theirs.waitForTrayIcon(before + QStringList{myIcon});
    QVERIFY2(!theirIcon.isEmpty(), qPrintable(theirs.errorOutput()));
    QVERIFY(theirs.isRunning());
    QVERIFY(!mine.errorOutput().contains(QLatin1String("Wake up!")));
}

void TestStartup::staleLockAfterKillDoesNotBlock()
{
    const QStringList before = trayIconWindows();
    {
        CProgram victim;
        QVERIFY(victim.start());
        QVERIFY(!victim.waitForTrayIcon(before).isEmpty());
        victim.kill();
        QVERIFY(victim.waitForExit());
    }
    // The killed instance left its lock and socket behind. The icons already docked are
    // listed before the start: a quick start could otherwise dock before the list is made.
    const QStringList beforeNext = trayIconWindows();
    CProgram next;
    QVERIFY(next.start());
    QVERIFY2(!next.waitForTrayIcon(beforeNext, 15000).isEmpty(), qPrintable(next.errorOutput()));
    QVERIFY(next.isRunning());
    // A start that merely outwaited the stale lock would run without owning the instance; only
    // the owner answers a third start, which then leaves at once.
    verifyLaterStartIsAnswered(next);
}

void TestStartup::quitFromTrayMenuWritesDefaults()
{
    const QString conf =
        qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Brightloom/Brightloom.conf");
    QFile::remove(conf);
    const QStringList before = trayIconWindows();
    CProgram program;
    QVERIFY(program.start());
    const QString icon = program.waitForTrayIcon(before);
    QVERIFY(!icon.isEmpty());

    // The very first start greets with the welcome screen; any key dismisses it.
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), 5000);
    xdotool({"key", "space"});
    QTRY_VERIFY_WITH_TIMEOUT(!programOverlayShown(), 5000);

    const QRect r = windowGeometry(icon);
    QVERIFY(r.isValid());
    const QString popupsBefore = xdotool({"search", "--onlyvisible", "--classname", "brightloom"});
    xdotool({"mousemove", QString::number(r.center().x()), QString::number(r.center().y()), "click", "3"});
    // The context menu pops up as a new visible window of the program.
    QTRY_VERIFY_WITH_TIMEOUT(
        xdotool({"search", "--onlyvisible", "--classname", "brightloom"}) != popupsBefore, 5000);
    // Up from the top wraps to the last entry, "&Quit".
    xdotool({"key", "Up", "Return"});
    QVERIFY2(program.waitForExit(10000), "menu did not quit the program");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);

    QSettings stored(conf, QSettings::IniFormat);
    const QString home = qEnvironmentVariable("HOME");
    QCOMPARE(stored.value("single_shot_shortcut").toString(), QStringLiteral("Ctrl+Alt+P"));
    QCOMPARE(stored.value("comparison_shot_shortcut").toString(), QStringLiteral("Ctrl+Alt+M"));
    QCOMPARE(stored.value("local_shot_shortcut").toString(), QStringLiteral("Ctrl+Alt+L"));
    QCOMPARE(stored.value("drop_widget_shortcut").toString(), QStringLiteral("Ctrl+Alt+D"));
    QCOMPARE(stored.value("sound_enabled").toBool(), true);
    QCOMPARE(stored.value("show_pre_help").toBool(), true);
    QCOMPARE(stored.value("show_paste_help").toBool(), false);
    QCOMPARE(stored.value("local_storage_dir").toString(), home + QStringLiteral("/brightloom_screens"));
    QVERIFY(QFileInfo(home + QStringLiteral("/brightloom_screens")).isDir());
    QCOMPARE(stored.value("drop_widget_pos_x").toInt(), 500);
    QCOMPARE(stored.value("drop_widget_pos_y").toInt(), 500);
    QCOMPARE(stored.value("drop_widget_visible").toBool(), false);
    QVERIFY(!stored.contains("user_name"));
    QVERIFY(!stored.contains("user_hash"));
}

void TestStartup::terminationSignalShutsDownInOrder()
{
    // A logout or a Ctrl+C must not lose the settings or leave a lock behind.
    const QString conf =
        qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Brightloom/Brightloom.conf");
    QFile::remove(conf);
    {
        QSettings stored(conf, QSettings::IniFormat);
        stored.setValue("show_pre_help", true);
        stored.setValue("local_shot_shortcut", "Ctrl+Alt+F7");
    }
    const QStringList before = trayIconWindows();
    CProgram program;
    QVERIFY(program.start());
    QVERIFY(!program.waitForTrayIcon(before).isEmpty());
    program.terminate();
    QVERIFY(program.waitForExit(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QSettings stored(conf, QSettings::IniFormat);
    QCOMPARE(stored.value("local_shot_shortcut").toString(), QStringLiteral("Ctrl+Alt+F7"));
    QCOMPARE(stored.value("single_shot_shortcut").toString(), QStringLiteral("Ctrl+Alt+P"));

    const QStringList beforeNext = trayIconWindows();
    CProgram next;
    QVERIFY(next.start());
    QVERIFY(!next.waitForTrayIcon(beforeNext).isEmpty());
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
