// The real brightloom-upload against the upload server on this user's pipe: what it hands
// over, what it refuses and what it says when nobody listens.
#include "shell/localserverhandler.h"
#include "shell/uploadmessage.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using BL::Shell::SLocalServerLimits;

namespace {

struct SRun
{
    int exitCode = -1;
    QString errors;
};

bool touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("x") == 1;
}

} // namespace

class TestUploadClient : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void handsOverEveryFileInOrder();
    void refusesWhatCannotTravelAndSendsTheRest();
    void saysSoWhenBrightloomIsNotRunning();
    void wrongUsage();

private:
    void startServer()
    {
        m_handler = std::make_unique<CLocalServerHandler>(BL::Shell::uploadPipeName(), nullptr,
                                                          SLocalServerLimits(), nullptr);
        m_spy = std::make_unique<QSignalSpy>(m_handler.get(), &CLocalServerHandler::newFileToUpload);
    }
    // Runs the client in `m_root` while the event loop serves the pipe.
    SRun runClient(const QList<QByteArray>& args);
    QStringList received() const
    {
        QStringList paths;
        for (const QList<QVariant>& call : *m_spy)
            paths << call.at(0).toString();
        return paths;
    }

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<CLocalServerHandler> m_handler;
    std::unique_ptr<QSignalSpy> m_spy;
};

void TestUploadClient::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
}

void TestUploadClient::cleanup()
{
    m_spy.reset();
    m_handler.reset();
    m_root.reset();
}

SRun TestUploadClient::runClient(const QList<QByteArray>& args)
{
    // Raw bytes, as a file manager passes them (QProcess would re-encode its arguments):
    // a script that holds them single-quoted.
    QByteArray script = "exec '" BL_BINARY_DIR "/app/brightloom-upload'";
    for (QByteArray arg : args)
        script += " '" + arg.replace("'", "'\\''") + "'";
    QFile file(m_root->filePath("run-client.sh"));
    SRun run;
    if (!file.open(QIODevice::WriteOnly) || file.write(script + '\n') != script.size() + 1)
        return run;
    file.close();
    QProcess process;
    process.setWorkingDirectory(m_root->path());
    process.start(QStringLiteral("/bin/sh"), {file.fileName()});
    if (!process.waitForStarted(5000))
        return run;
    QDeadlineTimer deadline(30000);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(20);
    process.waitForFinished(1000);
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.errors = QString::fromUtf8(process.readAllStandardError());
    return run;
}

void TestUploadClient::handsOverEveryFileInOrder()
{
    startServer();
    QVERIFY(m_handler->isListening());
    const QString spaced = m_root->filePath("dir with spaces/shot.png");
    const QString cyrillic = m_root->filePath("Снимки/кот.png");
    const QString cjk = m_root->filePath("截图/スクリーン.png");
    QVERIFY(touch(spaced) && touch(cyrillic) && touch(cjk));
    QVERIFY(QFile::link(spaced, m_root->filePath("link.png")));

    // Relative names are the client's to resolve: the program runs elsewhere.
    const SRun run =
        runClient({"dir with spaces/shot.png", cyrillic.toUtf8(), "--", "截图/スクリーン.png", "link.png"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.errors, QString());
    QCOMPARE(received(), (QStringList{spaced, cyrillic, cjk, m_root->filePath("link.png")}));
}

void TestUploadClient::refusesWhatCannotTravelAndSendsTheRest()
{
    startServer();
    const QString good = m_root->filePath("good.png");
    QVERIFY(touch(good));
    QVERIFY(QDir().mkpath(m_root->filePath("folder")));
    QCOMPARE(::mkfifo(QFile::encodeName(m_root->filePath("fifo")).constData(), 0600), 0);
    // A full path of more UTF-16 units than the fixed message holds.
    const QString deep =
        m_root->filePath(QString(120, QLatin1Char('d')) + "/" + QString(120, QLatin1Char('e')) + "/" +
                         QString(30, QLatin1Char('f')) + ".png");
    QVERIFY(deep.size() > BL::Shell::kMaxUploadPathUnits);
    QVERIFY(touch(deep));
    // Just fits: 259 units with the NUL in the 260th.
    QString fits = m_root->path() + "/";
    fits += QString(BL::Shell::kMaxUploadPathUnits - fits.size() - 4, QLatin1Char('g')) + ".png";
    QCOMPARE(fits.size(), BL::Shell::kMaxUploadPathUnits);
    QVERIFY(touch(fits));
    // A name that is not UTF-8 cannot be told to the program unchanged.
    const QByteArray latin1 = "caf\xe9.png";
    const int fd = ::open(QByteArray(QFile::encodeName(m_root->path()) + '/' + latin1).constData(),
                          O_CREAT | O_WRONLY, 0600);
    QVERIFY(fd >= 0);
    ::close(fd);

    const SRun run = runClient({"folder", "missing.png", "fifo", deep.toUtf8(), latin1, "good.png",
                                QFileInfo(fits).fileName().toUtf8()});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(received(), (QStringList{good, fits}));
    QVERIFY2(run.errors.contains("folder: not a regular file"), qPrintable(run.errors));
    QVERIFY2(run.errors.contains("missing.png: no such file"), qPrintable(run.errors));
    QVERIFY2(run.errors.contains("fifo: not a regular file"), qPrintable(run.errors));
    QVERIFY2(run.errors.contains("at most 259 can be handed over"), qPrintable(run.errors));
    QVERIFY2(run.errors.contains("not valid UTF-8"), qPrintable(run.errors));
}

void TestUploadClient::saysSoWhenBrightloomIsNotRunning()
{
    QVERIFY(touch(m_root->filePath("shot.png")));
    const SRun run = runClient({"shot.png"});
    QCOMPARE(run.exitCode, 3);
    QVERIFY2(run.errors.contains("Brightloom is not running"), qPrintable(run.errors));
    QVERIFY(run.errors.contains("nothing was uploaded"));
}

void TestUploadClient::wrongUsage()
{
    QCOMPARE(runClient({}).exitCode, 2);
    const SRun run = runClient({"--verbose", "shot.png"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.errors.contains("unknown option --verbose"));
}

QTEST_GUILESS_MAIN(TestUploadClient)
#include "tst_uploadclient.moc"
