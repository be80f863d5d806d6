// The Debian packages CPack makes: two of them, dependencies computed from the binaries, no
// lintian errors, and programs that run when unpacked.
#include "brightloom_build.h"
#include "installsupport.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace BL::Test;

class TestInstallDeb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void dependenciesComeFromTheBinaries();
    void lintianFindsNoErrors();
    void dependenciesResolveOnThisDebian();
    void unpackedProgramsRun();

private:
    QString field(const QString& deb, const QString& name) const;

    QTemporaryDir m_work;
    QString m_client;
    QString m_server;
};

void TestInstallDeb::initTestCase()
{
    QVERIFY(m_work.isValid());
    QString why;
    const SToolResult packed = runTool(
        QStringLiteral(BL_CPACK_COMMAND),
        {"-G", "DEB", "--config", BL_BINARY_DIR "/CPackConfig.cmake", "-B", m_work.path() + "/out"}, 480000);
    QVERIFY2(succeeded(packed, &why), qPrintable(why));
    const QStringList debs = QDir(m_work.path() + "/out").entryList({"*.deb"}, QDir::Files, QDir::Name);
    QCOMPARE(debs.size(), 2);
    for (const QString& deb : debs)
        if (deb.startsWith(QLatin1String("brightloom-server_")))
            m_server = m_work.path() + "/out/" + deb;
        else if (deb.startsWith(QLatin1String("brightloom_")))
            m_client = m_work.path() + "/out/" + deb;
    QVERIFY2(!m_client.isEmpty() && !m_server.isEmpty(), qPrintable(debs.join(' ')));
    QCOMPARE(field(m_client, "Version"), QStringLiteral(BL_PRODUCT_VERSION));
}

QString TestInstallDeb::field(const QString& deb, const QString& name) const
{
    return runTool(QStringLiteral("dpkg-deb"), {"--field", deb, name}).output.trimmed();
}

void TestInstallDeb::dependenciesComeFromTheBinaries()
{
    // dpkg-shlibdeps names the packages of the libraries each program links.
    const QString client = field(m_client, "Depends");
    const QString server = field(m_server, "Depends");
    for (const char* library : {"libc6", "libqt5core5a", "libqt5widgets5", "libqt5network5",
                                "libqt5multimedia5", "libqt5x11extras5", "libx11-6", "libtesseract5"})
        QVERIFY2(client.contains(QLatin1String(library)), qPrintable(library + (" missing: " + client)));
    for (const char* library : {"libc6", "libsqlite3-0", "libssl3", "libjpeg62-turbo", "libdeflate0"})
        QVERIFY2(server.contains(QLatin1String(library)), qPrintable(library + (" missing: " + server)));
    // Without English data the text shot is greyed out: installed along unless refused.
    QVERIFY2(field(m_client, "Recommends").contains(QLatin1String("tesseract-ocr-eng")),
             qPrintable(field(m_client, "Recommends")));
    // The service is not a Qt program.
    QVERIFY2(!server.contains(QLatin1String("libqt5")), qPrintable(server));

    // Each package carries its own files only.
    const QString clientFiles = runTool(QStringLiteral("dpkg-deb"), {"--contents", m_client}).output;
    const QString serverFiles = runTool(QStringLiteral("dpkg-deb"), {"--contents", m_server}).output;
    QVERIFY(clientFiles.contains(QLatin1String("./usr/bin/brightloom\n")));
    QVERIFY(clientFiles.contains(QLatin1String("./etc/xdg/autostart/org.brightloom.Brightloom.desktop")));
    QVERIFY(!clientFiles.contains(QLatin1String("brightloom-server")));
    QVERIFY(serverFiles.contains(QLatin1String("./usr/bin/brightloom-server\n")));
    QVERIFY(serverFiles.contains(QLatin1String("./usr/lib/systemd/system/brightloom-server.service")));
    QVERIFY(!serverFiles.contains(QLatin1String("./usr/bin/brightloom\n")));
}

void TestInstallDeb::lintianFindsNoErrors()
{
    for (const QString& deb : {m_client, m_server}) {
        const SToolResult lintian =
            runTool(QStringLiteral("lintian"), {"--tag-display-limit", "0", deb}, 300000);
        QVERIFY2(lintian.finished, "lintian did not finish");
        qInfo().noquote() << QFileInfo(deb).fileName()
                          << "lintian:" << (lintian.output.trimmed().isEmpty() ? "clean" : "");
        if (!lintian.output.trimmed().isEmpty())
            qInfo().noquote() << lintian.output.trimmed();
        QVERIFY2(!lintian.output.contains(QRegularExpression("^E: ", QRegularExpression::MultilineOption)),
                 qPrintable(lintian.output));
        // Status 2 would mean lintian itself failed; 1 is left for errors, covered above.
        QVERIFY2(lintian.exitCode == 0 || lintian.exitCode == 1, qPrintable(lintian.output));
    }
}

void TestInstallDeb::dependenciesResolveOnThisDebian()
{
    // apt's dry run resolves both packages against the archive this machine uses.
    QString why;
    const SToolResult simulated = runTool(
        QStringLiteral("apt-get"), {"install", "--simulate", "--no-install-recommends", m_client, m_server});
    QVERIFY2(succeeded(simulated, &why), qPrintable(why));
    QVERIFY2(simulated.output.contains(
                 QRegularExpression("^Inst brightloom ", QRegularExpression::MultilineOption)) &&
                 simulated.output.contains(
                     QRegularExpression("^Inst brightloom-server ", QRegularExpression::MultilineOption)),
             qPrintable(simulated.output));
}

void TestInstallDeb::unpackedProgramsRun()
{
    const QString root = m_work.path() + "/root";
    QString why;
    for (const QString& deb : {m_client, m_server})
        QVERIFY2(succeeded(runTool(QStringLiteral("dpkg-deb"), {"-x", deb, root}), &why), qPrintable(why));
    const SToolResult version = runTool(root + "/usr/bin/brightloom", {"--version"});
    QVERIFY2(succeeded(version, &why), qPrintable(why));
    QCOMPARE(version.output.trimmed(), QStringLiteral("brightloom " BL_PRODUCT_VERSION));

    // The packaged unit names the service where the package puts it.
    const QString unit = root + "/usr/lib/systemd/system/brightloom-server.service";
    QVERIFY(
        keyValue(unit, QStringLiteral("ExecStart")).startsWith(QLatin1String("/usr/bin/brightloom-server ")));
    // The unpacked service, started as its unit says, answers.
    QFile::copy(unit, m_work.path() + "/unpacked.service");
    QFile rewritten(m_work.path() + "/unpacked.service");
    QVERIFY(rewritten.open(QIODevice::ReadWrite));
    QByteArray text = rewritten.readAll();
    text.replace("ExecStart=/usr/bin/", ("ExecStart=" + root + "/usr/bin/").toUtf8());
    QVERIFY(rewritten.resize(0));
    rewritten.write(text);
    rewritten.close();
    QTemporaryDir stateRoot;
    QString log;
    QVERIFY2(unitServiceAnswersAbout(m_work.path() + "/unpacked.service", stateRoot.path(), &log),
             qPrintable(log));
}

QTEST_GUILESS_MAIN(TestInstallDeb)
#include "tst_deb.moc"
