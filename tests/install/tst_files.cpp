// `cmake --install` into a throw-away prefix: every file a desktop installation needs, entries
// the desktop's own validators accept, a unit systemd accepts, and installed programs that run.
#include "brightloom_build.h"
#include "capture/textengine.h"
#include "installsupport.h"
#include "platform/soundeffects.h"

#include <QPluginLoader>
#include <QTemporaryDir>
#include <QtTest>

using namespace BL::Test;

namespace {
const QString kAppId = QStringLiteral("org.brightloom.Brightloom");
}

class TestInstallFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installsEveryFile();
    void entriesPassTheDesktopValidators();
    void unitPassesSystemdAndItsServiceAnswers();
    void installedProgramsRun();

private:
    QString path(const QString& relative) const { return m_prefix.path() + QLatin1Char('/') + relative; }

    QTemporaryDir m_prefix;
};

void TestInstallFiles::initTestCase()
{
    QVERIFY(m_prefix.isValid());
    const SToolResult install = runTool(QStringLiteral(BL_CMAKE_COMMAND),
                                        {"--install", BL_BINARY_DIR, "--prefix", m_prefix.path()}, 300000);
    QString why;
    QVERIFY2(succeeded(install, &why), qPrintable(why));
}

void TestInstallFiles::installsEveryFile()
{
    QStringList expected = {
        "bin/brightloom",
        "bin/brightloom-upload",
        "bin/brightloom-server",
        "lib/brightloom/brightloom-sounds.so",
        "lib/brightloom/brightloom-text.so",
        "share/applications/" + kAppId + ".desktop",
        "share/metainfo/" + kAppId + ".metainfo.xml",
        "etc/xdg/autostart/" + kAppId + ".desktop",
        "lib/systemd/system/brightloom-server.service",
        "share/icons/hicolor/scalable/apps/brightloom.svg",
        "share/doc/brightloom/copyright",
        "share/doc/brightloom/changelog.gz",
        "share/doc/brightloom-server/copyright",
        "share/doc/brightloom-server/changelog.gz",
    };
    if (QFileInfo::exists(QStringLiteral(BL_BINARY_DIR "/diagnostics/brightloom-crash-helper")))
        expected << QStringLiteral("bin/brightloom-crash-helper");
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
        expected << QStringLiteral("share/icons/hicolor/%1x%1/apps/brightloom.png").arg(size);
    expected.sort();
    const QStringList installed = filesBelow(m_prefix.path());
    for (const QString& file : expected)
        QVERIFY2(installed.contains(file),
                 qPrintable(file + " is missing; installed:\n" + installed.join('\n')));
    for (const QString& file : installed)
        QVERIFY2(expected.contains(file), qPrintable(file + " is installed but not expected"));
    for (const QString& program : expected.filter(QRegularExpression("^bin/")))
        QVERIFY2(QFileInfo(path(program)).isExecutable(), qPrintable(program));

    // Each size is the size its directory promises, so the desktop never has to scale.
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QImage icon(path(QStringLiteral("share/icons/hicolor/%1x%1/apps/brightloom.png").arg(size)));
        QCOMPARE(icon.size(), QSize(size, size));
    }
}

void TestInstallFiles::entriesPassTheDesktopValidators()
{
    const QString menuEntry = path("share/applications/" + kAppId + ".desktop");
    const QString autostartEntry = path("etc/xdg/autostart/" + kAppId + ".desktop");
    QString why;
    for (const QString& entry : {menuEntry, autostartEntry}) {
        const SToolResult validated = runTool(QStringLiteral("desktop-file-validate"), {entry});
        QVERIFY2(succeeded(validated, &why), qPrintable(why));
        // The validator passes warnings with status 0; an entry of ours has none.
        QVERIFY2(!validated.output.contains(QLatin1String("warning:")) &&
                     !validated.output.contains(QLatin1String("error:")),
                 qPrintable(validated.output));
        // Both start the installed program and show the installed icon.
        const QString exec = keyValue(entry, QStringLiteral("Exec"));
        QVERIFY2(QFileInfo(path("bin/" + exec.section(QLatin1Char(' '), 0, 0))).isExecutable(),
                 qPrintable(exec));
        QCOMPARE(keyValue(entry, QStringLiteral("Icon")), QStringLiteral("brightloom"));
    }
    // The menu entry is how docks tie the program's windows to it.
    QCOMPARE(keyValue(menuEntry, QStringLiteral("StartupWMClass")), QStringLiteral("brightloom"));
    QVERIFY(!keyValue(menuEntry, QStringLiteral("Categories")).isEmpty());
    // The autostart entry is not a second menu entry.
    QCOMPARE(keyValue(autostartEntry, QStringLiteral("NoDisplay")), QStringLiteral("true"));

    const QString metainfo = path("share/metainfo/" + kAppId + ".metainfo.xml");
    const SToolResult appstream = runTool(QStringLiteral("appstreamcli"), {"validate", "--no-net", metainfo});
    QVERIFY2(succeeded(appstream, &why), qPrintable(why));
    // The metainfo file names the menu entry that is really installed.
    QFile xml(metainfo);
    QVERIFY(xml.open(QIODevice::ReadOnly));
    QVERIFY(xml.readAll().contains(
        QStringLiteral("<launchable type=\"desktop-id\">%1.desktop</launchable>").arg(kAppId).toUtf8()));
}

void TestInstallFiles::unitPassesSystemdAndItsServiceAnswers()
{
    const QString unit = path("lib/systemd/system/brightloom-server.service");
    const QString exec = keyValue(unit, QStringLiteral("ExecStart"));
    QVERIFY2(exec.startsWith(path("bin/brightloom-server ")), qPrintable(exec));

    // verify also checks that the program of ExecStart exists and can run.
    QString why;
    const SToolResult verified = runTool(QStringLiteral("systemd-analyze"), {"verify", unit});
    QVERIFY2(succeeded(verified, &why), qPrintable(why));
    QVERIFY2(!verified.output.contains(QLatin1String("brightloom-server.service")),
             qPrintable(verified.output));
    // The exposure figure of the hardening, for the log.
    const SToolResult security =
        runTool(QStringLiteral("systemd-analyze"), {"security", "--offline=yes", "--no-pager", unit});
    const QString overall = security.output.section(QLatin1Char('\n'), -2).trimmed();
    qInfo().noquote() << "systemd-analyze security:" << overall;

    QTemporaryDir stateRoot;
    QVERIFY(stateRoot.isValid());
    QString log;
    QVERIFY2(unitServiceAnswersAbout(unit, stateRoot.path(), &log), qPrintable(log));
    // Its data went into its state directory.
    QVERIFY2(QFileInfo::exists(stateRoot.path() + "/brightloom-server/brightloom.db"),
             qPrintable(filesBelow(stateRoot.path()).join('\n')));
}

void TestInstallFiles::installedProgramsRun()
{
    QString why;
    const SToolResult version = runTool(path("bin/brightloom"), {"--version"});
    QVERIFY2(succeeded(version, &why), qPrintable(why));
    QCOMPARE(version.output.trimmed(), QStringLiteral("brightloom " BL_PRODUCT_VERSION));
    const SToolResult server = runTool(path("bin/brightloom-server"), {"--help"});
    QVERIFY2(succeeded(server, &why), qPrintable(why));
    QVERIFY(server.output.startsWith(QLatin1String("Usage: brightloom-server")));
    // The sound module the program loads from <prefix>/lib/brightloom where a sound server answers.
    QPluginLoader sounds(path("lib/brightloom/brightloom-sounds.so"));
    QVERIFY2(qobject_cast<BL::Platform::CAbstractSoundEffects*>(sounds.instance()),
             qPrintable(sounds.errorString()));
    // And the text engine's, from the same place at the first text shot.
    QPluginLoader text(path("lib/brightloom/brightloom-text.so"));
    QVERIFY2(qobject_cast<BL::Capture::CAbstractTextEngine*>(text.instance()),
             qPrintable(text.errorString()));
}

QTEST_GUILESS_MAIN(TestInstallFiles)
#include "tst_files.moc"
