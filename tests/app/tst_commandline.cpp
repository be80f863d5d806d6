// The command-line actions of the real program on a private X session: handed to the running
// instance, or performed by a start when none runs; wrong command lines refused.
#include "serviceprocess.h"
#include "x11session.h"

#include <QDir>
#include <QImage>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace BL::Test;

namespace {

// Each look at the session spawns xdotool; on a loaded machine that takes a while.
constexpr int kXTimeoutMs = 30000;
const QVariantMap kHelpSeen = {{"show_pre_help", true}, {"show_paste_help", true}};

// The visible 60 x 60 window of the program: its drop widget.
QString dropWindow()
{
    for (const QString& id : xdotool({"search", "--onlyvisible", "--classname", "brightloom"}).split('\n'))
        if (!id.isEmpty() && windowGeometry(id).size() == QSize(60, 60))
            return id;
    return QString();
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void actionsGoToRunningInstance();
    void actionStartsProgramWhenNoneRuns();
    void wrongCommandLinesAreRefused();
    void uploadHandsFilesToRunningInstance();
    void importUploaderGoesToRunningInstance();

private:
    QProcessEnvironment userEnvironment() const { return privateUserEnvironment(m_user->path()); }
    // Runs a later start with `args` to its end; returns its exit code, -1 when it did not end.
    int runLaterStart(const QStringList& args, QString* errorOutput = nullptr,
                      const QString& workingDir = QString());

    std::unique_ptr<QTemporaryDir> m_user;
    std::unique_ptr<CProgram> m_program;
};

void TestCommandLine::init()
{
    m_user = std::make_unique<QTemporaryDir>();
}

void TestCommandLine::cleanup()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
    xdotool({"key", "Escape"});
}

int TestCommandLine::runLaterStart(const QStringList& args, QString* errorOutput, const QString& workingDir)
{
    CProgram later(userEnvironment());
    if (!workingDir.isEmpty())
        later.process().setWorkingDirectory(workingDir);
    if (!later.start(args) || !later.waitForExit(10000))
        return -1;
    if (errorOutput)
        *errorOutput = later.errorOutput();
    return later.exitStatus() == QProcess::NormalExit ? later.exitCode() : -1;
}

void TestCommandLine::actionsGoToRunningInstance()
{
    m_program = startDockedProgram(m_user->path(), userEnvironment(), kHelpSeen);
    QVERIFY(m_program);
    const int icons = trayIconWindows().size();
    QVERIFY(!programOverlayShown());

    for (const char* action : {"--local-shot", "--single-shot", "--comparison-shot", "--text-shot"}) {
        QCOMPARE(runLaterStart({QString::fromLatin1(action)}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
        xdotool({"key", "Escape"});
        QTRY_VERIFY_WITH_TIMEOUT(!programOverlayShown(), kXTimeoutMs);
    }
    QVERIFY(dropWindow().isEmpty());
    QCOMPARE(runLaterStart({"--toggle-drop-widget"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!dropWindow().isEmpty(), kXTimeoutMs);
    QCOMPARE(runLaterStart({"--toggle-drop-widget"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(dropWindow().isEmpty(), kXTimeoutMs);

    // A plain start still only wakes the instance.
    QCOMPARE(runLaterStart({}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains(QLatin1String("\"Wake up!\"")), kXTimeoutMs);
    QVERIFY(!programOverlayShown());
    QVERIFY(m_program->isRunning());
    // None of the later starts docked an icon of its own.
    QCOMPARE(trayIconWindows().size(), icons);
}

void TestCommandLine::actionStartsProgramWhenNoneRuns()
{
    {
        QSettings stored(m_user->path() + QStringLiteral("/config/Brightloom/Brightloom.conf"),
                         QSettings::IniFormat);
        for (auto it = kHelpSeen.cbegin(); it != kHelpSeen.cend(); ++it)
            stored.setValue(it.key(), it.value());
    }
    const QStringList before = trayIconWindows();
    m_program = std::make_unique<CProgram>(userEnvironment());
    QVERIFY(m_program->start({"--local-shot"}));
    QVERIFY(!m_program->waitForTrayIcon(before).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    // The overlay is the local shot's: a drag saves the area as a file.
    drag({200, 150}, {279, 209});
    const QDir dir(m_user->path() + QStringLiteral("/home/brightloom_screens"));
    QTRY_COMPARE_WITH_TIMEOUT(dir.entryList(QDir::Files).size(), 1, kXTimeoutMs);
    QCOMPARE(QImage(dir.filePath(dir.entryList(QDir::Files).first())).size(), QSize(80, 60));
    QTRY_VERIFY_WITH_TIMEOUT(!programOverlayShown(), kXTimeoutMs);
    // The start that performed the action stays as the instance: later actions reach it.
    QVERIFY(m_program->isRunning());
    QCOMPARE(runLaterStart({"--local-shot"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
}

void TestCommandLine::wrongCommandLinesAreRefused()
{
    m_program = startDockedProgram(m_user->path(), userEnvironment(), kHelpSeen);
    QVERIFY(m_program);
    const QString missing = m_user->filePath("missing.png");
    const struct
    {
        QStringList args;
        const char* says;
    } cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--single-shot", "--extra"}, "unknown option '--extra'"},
        {{"--single-shot", "--local-shot"}, "only one action can be given at a time"},
        {{"--upload"}, "--upload needs at least one file"},
        {{"--upload", missing}, "missing.png: no such file"},
        {{"stray"}, "unexpected argument 'stray'"},
    };
    for (const auto& c : cases) {
        QString output;
        const int code = runLaterStart(c.args, &output);
        QVERIFY2(code > 0, qPrintable(c.args.join(' ') + QStringLiteral(": exit %1").arg(code)));
        QVERIFY2(output.contains(QLatin1String(c.says)), qPrintable(output));
        QVERIFY2(output.contains(QLatin1String("brightloom --help")), qPrintable(output));
    }
    // None of them reached the instance, which still answers.
    QVERIFY(!m_program->errorOutput().contains(QLatin1String("message from another instance")));
    QVERIFY(!programOverlayShown());
    QCOMPARE(runLaterStart({"--local-shot"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
}

void TestCommandLine::uploadHandsFilesToRunningInstance()
{
    QTemporaryDir serviceData;
    CServiceProcess service;
    QVERIFY2(service.start(serviceData.path()), qPrintable(service.log()));
    QProcessEnvironment env = userEnvironment();
    env.insert(QStringLiteral("BL_SERVICE_HOST"), service.host());
    m_program = startDockedProgram(m_user->path(), env, kHelpSeen);
    QVERIFY(m_program);

    // A relative name, from the later start's own directory, with a line break in it.
    const QString dir = m_user->filePath("pictures");
    QVERIFY(QDir().mkpath(dir));
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(QColor(10, 200, 30));
    const QString name = QStringLiteral("two\nlines.png");
    QVERIFY(picture.save(dir + QLatin1Char('/') + name, "PNG"));
    QCOMPARE(runLaterStart({"--upload", name}, nullptr, dir), 0);

    QTRY_VERIFY_WITH_TIMEOUT(!clipboard().isEmpty(), kXTimeoutMs);
    const QString link = clipboard();
    QVERIFY2(
        QRegularExpression(QStringLiteral("^http://127\\.0\\.0\\.1:%1/[A-Za-z0-9]{8,}$").arg(service.port()))
            .match(link)
            .hasMatch(),
        qPrintable(link));
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("Screenshot succesfully uploaded."),
                             kXTimeoutMs);
    const SHttpResult uploaded = httpGet(link + QStringLiteral(".png"));
    QCOMPARE(uploaded.status, 200);
    const QImage image = QImage::fromData(uploaded.body, "PNG");
    QCOMPARE(image.size(), picture.size());
    QCOMPARE(image.pixelColor(10, 10), QColor(10, 200, 30));
}

void TestCommandLine::importUploaderGoesToRunningInstance()
{
    m_program = startDockedProgram(m_user->path(), userEnvironment(), kHelpSeen);
    QVERIFY(m_program);
    const auto writeFile = [this](const QString& name, const QByteArray& bytes) {
        QFile file(m_user->filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    // Nothing is listened to at this address: only the import is under test here.
    const QByteArray home = "{\"Name\": \"Home box\", \"DestinationType\": \"ImageUploader\", "
                            "\"RequestURL\": \"http://127.0.0.1:9/upload\", "
                            "\"Headers\": {\"Authorization\": \"Bearer t0ken\"}, "
                            "\"FileFormName\": \"image\", \"URL\": \"{json:link}\"}";
    const QByteArray asks = "{\"Name\": \"Asks\", \"RequestURL\": \"https://127.0.0.1/up\", "
                            "\"Arguments\": {\"title\": \"{prompt:Title}\"}, \"URL\": \"{response}\"}";
    QVERIFY(writeFile("home.sxcu", home));
    QVERIFY(writeFile("asks.sxcu", asks));

    // Refused by the later start itself, which says why; nothing reaches the instance.
    const struct
    {
        QString file;
        const char* says;
    } refusals[] = {
        {m_user->filePath("asks.sxcu"), "Arguments.title uses {prompt}, which asks while uploading"},
        {m_user->filePath("gone.sxcu"), "gone.sxcu: the file cannot be read"},
    };
    for (const auto& refusal : refusals) {
        QString output;
        QCOMPARE(runLaterStart({"--import-uploader", refusal.file}, &output), 2);
        QVERIFY2(output.contains(QLatin1String(refusal.says)), qPrintable(output));
    }

    // Accepted: a private copy, chosen at once, and one warning that the token goes in clear.
    QCOMPARE(runLaterStart({"--import-uploader", "home.sxcu"}, nullptr, m_user->path()), 0);
    QTRY_VERIFY_WITH_TIMEOUT(
        m_program->errorOutput().contains(
            "balloon Warning Uploads now go to Home box.\nHome box is reached over plain http"),
        kXTimeoutMs);
    QVERIFY(!m_program->errorOutput().contains("Asks"));
    const QString dir = m_user->filePath("config/brightloom/uploaders");
    QCOMPARE(QFileInfo(dir).permissions() & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList{"Home box.sxcu"});
    QCOMPARE(QFileInfo(dir + "/Home box.sxcu").permissions() & ~(QFile::ReadUser | QFile::WriteUser),
             QFile::ReadOwner | QFile::WriteOwner);
    QVERIFY(QFile::remove(m_user->filePath("home.sxcu")));
    const QString settings = m_user->filePath("config/Brightloom/Brightloom.conf");
    QTRY_COMPARE_WITH_TIMEOUT(
        QSettings(settings, QSettings::IniFormat).value("upload_destination").toString(),
        QStringLiteral("Home box"), kXTimeoutMs);

    // Imported again (from the kept copy), it is chosen again without a second warning.
    QCOMPARE(runLaterStart({"--import-uploader", dir + "/Home box.sxcu"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(
        m_program->errorOutput().contains("balloon Information Uploads now go to Home box."), kXTimeoutMs);
    QCOMPARE(m_program->errorOutput().count("plain http"), 1);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
