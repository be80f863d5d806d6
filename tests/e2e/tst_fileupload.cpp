// The file manager's hand-off end to end: brightloom-upload and the real program on a
// private X session against the real service; the menu entries over the program's life;
// a flood of broken clients against the program's upload pipe.
#include "serviceprocess.h"
#include "shell/uploadmessage.h"
#include "x11session.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QLocalSocket>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace BL::Test;

namespace {

const QVariantMap kHelpSeen = {{"show_pre_help", true}, {"show_paste_help", true}};

int openDescriptors(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid))
        .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)
        .size();
}

qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

// A plain blocking client, as cheap as a misbehaving one would be.
int connectTo(const QString& pipe)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(pipe).constData(), sizeof(address.sun_path));
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

QDateTime modified(const QString& path)
{
    return QFileInfo(path).fileTime(QFileDevice::FileModificationTime);
}

} // namespace

class TestFileUpload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void clientUploadsFileAndLinkServesIt();
    void unreadableFilesGetABalloonAndNoRequest();
    void clientWithoutProgramSaysSo();
    void entriesLiveAsLongAsTheProgram();
    void floodLeavesNoDescriptorsBehind();

private:
    CProgram* startProgram();
    bool quitFromTrayMenu();
    // Runs brightloom-upload as the program's user, in that user's folder.
    int runClient(const QStringList& args, QString* errors = nullptr);
    QString pipe() const { return m_user->filePath("runtime/brightloompipe"); }
    QStringList entryPaths() const
    {
        return {m_user->filePath("data/applications/brightloom-upload.desktop"),
                m_user->filePath("data/kio/servicemenus/brightloom-upload.desktop"),
                m_user->filePath("data/nautilus/scripts/Upload with Brightloom")};
    }
    int servicePosts() { return m_service.log().count(QStringLiteral("\"POST ")); }

    QTemporaryDir m_root;
    CServiceProcess m_service;
    std::unique_ptr<QTemporaryDir> m_user;
    std::unique_ptr<CProgram> m_program;
    QString m_icon;
};

void TestFileUpload::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(m_service.start(m_root.filePath("service")), qPrintable(m_service.log()));
}

void TestFileUpload::cleanupTestCase()
{
    m_service.stop();
}

void TestFileUpload::init()
{
    m_user = std::make_unique<QTemporaryDir>();
    QVERIFY(m_user->isValid());
    QSettings stored(m_user->filePath("config/Brightloom/Brightloom.conf"), QSettings::IniFormat);
    for (auto it = kHelpSeen.cbegin(); it != kHelpSeen.cend(); ++it)
        stored.setValue(it.key(), it.value());
}

void TestFileUpload::cleanup()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
}

CProgram* TestFileUpload::startProgram()
{
    QProcessEnvironment env = privateUserEnvironment(m_user->path());
    env.insert(QStringLiteral("BL_SERVICE_HOST"), m_service.host());
    const QStringList before = trayIconWindows();
    m_program = std::make_unique<CProgram>(env);
    if (!m_program->start())
        return nullptr;
    m_icon = m_program->waitForTrayIcon(before);
    if (m_icon.isEmpty())
        return nullptr;
    // The pipe answers once the main widget has been built (a killed run's file may be there before).
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        QLocalSocket probe;
        probe.connectToServer(pipe());
        if (probe.waitForConnected(1000))
            return m_program.get();
        QTest::qWait(50);
    }
    return nullptr;
}

bool TestFileUpload::quitFromTrayMenu()
{
    return BL::Test::quitFromTrayMenu(*m_program);
}

int TestFileUpload::runClient(const QStringList& args, QString* errors)
{
    QProcess client;
    client.setProcessEnvironment(privateUserEnvironment(m_user->path()));
    client.setWorkingDirectory(m_user->path());
    client.start(QStringLiteral(BL_BINARY_DIR "/app/brightloom-upload"), args);
    if (!client.waitForFinished(30000))
        return -1;
    if (errors)
        *errors = QString::fromLocal8Bit(client.readAllStandardError());
    return client.exitStatus() == QProcess::NormalExit ? client.exitCode() : -1;
}

void TestFileUpload::clientUploadsFileAndLinkServesIt()
{
    QImage picture(72, 40, QImage::Format_RGB32);
    picture.fill(QColor(200, 40, 120));
    QVERIFY(QDir().mkpath(m_user->filePath("dir with spaces")));
    QVERIFY(picture.save(m_user->filePath("dir with spaces/shot.png")));
    const QString before = clipboard();

    QVERIFY(startProgram());
    QString errors;
    QCOMPARE(runClient({"dir with spaces/shot.png"}, &errors), 0);
    QCOMPARE(errors, QString());
    QTRY_VERIFY_WITH_TIMEOUT(!clipboard().isEmpty() && clipboard() != before, 10000);
    const QString link = clipboard();
    QVERIFY2(link.startsWith(m_service.baseUrl()), qPrintable(link));
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("Screenshot succesfully uploaded."), 10000);
    const QImage served = QImage::fromData(httpGet(link + ".png").body, "PNG");
    QCOMPARE(served.convertToFormat(QImage::Format_RGB32), picture);
}

void TestFileUpload::unreadableFilesGetABalloonAndNoRequest()
{
    QFile text(m_user->filePath("notes.txt"));
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("not a picture\n") > 0);
    text.close();
    // The client refuses anything but a regular file; another sender might not.
    const QString fifo = m_user->filePath("pipe.png");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    QVERIFY(startProgram());
    const int postsBefore = servicePosts();
    const QString clipboardBefore = clipboard();

    QCOMPARE(runClient({"notes.txt"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(
        m_program->errorOutput().contains("balloon Critical " + text.fileName() + " could not be uploaded"),
        10000);
    QLocalSocket sender;
    sender.connectToServer(pipe());
    QVERIFY(sender.waitForConnected(5000));
    sender.write(BL::Shell::encodeUploadMessage(fifo));
    QVERIFY(sender.waitForBytesWritten(5000));
    // Taken without blocking on the pipe: the program hangs up and shows the balloon.
    QVERIFY(sender.state() == QLocalSocket::UnconnectedState || sender.waitForDisconnected(10000));
    QTRY_VERIFY_WITH_TIMEOUT(
        m_program->errorOutput().contains("balloon Critical " + fifo + " could not be uploaded"), 10000);

    // The program handles a later click on its icon after both refusals: a request or a link
    // they led to would be out by then.
    QVERIFY(glanceAtTrayMenu(*m_program));
    QCOMPARE(servicePosts(), postsBefore);
    QCOMPARE(clipboard(), clipboardBefore);
    QVERIFY(!m_program->errorOutput().contains("succesfully"));
    QVERIFY(m_program->isRunning());
}

void TestFileUpload::clientWithoutProgramSaysSo()
{
    QImage picture(8, 8, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    QVERIFY(picture.save(m_user->filePath("shot.png")));
    const int postsBefore = servicePosts();
    QString errors;
    QCOMPARE(runClient({"shot.png"}, &errors), 3);
    QVERIFY2(errors.contains("Brightloom is not running"), qPrintable(errors));

    // Killed, the program leaves its socket file behind; nobody answers on it.
    QVERIFY(startProgram());
    m_program->kill();
    QVERIFY(m_program->waitForExit(10000));
    QVERIFY(QFileInfo::exists(pipe()));
    QCOMPARE(runClient({"shot.png"}, &errors), 3);
    QVERIFY2(errors.contains("Brightloom is not running"), qPrintable(errors));
    QCOMPARE(servicePosts(), postsBefore);
}

void TestFileUpload::entriesLiveAsLongAsTheProgram()
{
    const QStringList paths = entryPaths();
    // The person's own Nautilus script of the same name.
    const QByteArray mine = "#!/bin/sh\nzenity --info --text mine\n";
    QVERIFY(QDir().mkpath(QFileInfo(paths[2]).absolutePath()));
    {
        QFile script(paths[2]);
        QVERIFY(script.open(QIODevice::WriteOnly) && script.write(mine) == mine.size());
    }

    QVERIFY(startProgram());
    QTRY_VERIFY(QFileInfo::exists(paths[0]) && QFileInfo::exists(paths[1]));
    QTRY_VERIFY(m_program->errorOutput().contains("left alone, not written by us"));
    QVERIFY2(quitFromTrayMenu(), "menu did not quit the program");
    QCOMPARE(m_program->exitCode(), 0);
    QVERIFY(!QFileInfo::exists(paths[0]));
    QVERIFY(!QFileInfo::exists(paths[1]));
    QCOMPARE(QFileInfo(paths[2]).size(), qint64(mine.size()));
    QVERIFY(QFile::remove(paths[2]));

    // Killed: nothing removes them, and the next start writes them anew.
    QVERIFY(startProgram());
    QTRY_VERIFY(QFileInfo::exists(paths[0]) && QFileInfo::exists(paths[1]) && QFileInfo::exists(paths[2]));
    m_program->kill();
    QVERIFY(m_program->waitForExit(10000));
    const QDateTime longAgo = QDateTime::currentDateTime().addDays(-2);
    for (const QString& path : paths) {
        QVERIFY2(QFileInfo::exists(path), qPrintable(path));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite) &&
                file.setFileTime(longAgo, QFileDevice::FileModificationTime));
    }
    QVERIFY(startProgram());
    for (const QString& path : paths)
        QTRY_VERIFY2(modified(path) > longAgo.addDays(1), qPrintable(path));
    QVERIFY2(quitFromTrayMenu(), "menu did not quit the program");
    for (const QString& path : paths)
        QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
}

void TestFileUpload::floodLeavesNoDescriptorsBehind()
{
    constexpr int kEach = 10000;
    constexpr int kSilentAtOnce = 500;
    QFile text(m_user->filePath("first.txt"));
    QVERIFY(text.open(QIODevice::WriteOnly) && text.write("x") == 1);
    text.close();
    QVERIFY(startProgram());
    const qint64 pid = m_program->pid();
    // One message first, so that whatever it makes once is in the baseline.
    QCOMPARE(runClient({"first.txt"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("first.txt could not be uploaded"), 10000);
    // Measured once the program has handled a later click: that message's connection is gone.
    QVERIFY(glanceAtTrayMenu(*m_program));
    const int fdsBefore = openDescriptors(pid);
    const qint64 rssBefore = residentKiB(pid);

    QElapsedTimer clock;
    clock.start();
    const QByteArray almost =
        BL::Shell::encodeUploadMessage(QStringLiteral("/never/delivered.png")).left(519);
    int refused = 0;
    for (int i = 0; i < kEach; ++i) {
        const int vanish = connectTo(pipe());
        refused += vanish < 0;
        if (vanish >= 0)
            ::close(vanish);
        const int shortOne = connectTo(pipe());
        refused += shortOne < 0;
        if (shortOne >= 0) {
            QCOMPARE(::write(shortOne, almost.constData(), size_t(almost.size())), ssize_t(almost.size()));
            ::close(shortOne);
        }
    }
    for (int batch = 0; batch < kEach / kSilentAtOnce; ++batch) {
        std::vector<int> silent;
        for (int i = 0; i < kSilentAtOnce; ++i) {
            silent.push_back(connectTo(pipe()));
            refused += silent.back() < 0;
        }
        for (int fd : silent)
            if (fd >= 0)
                ::close(fd);
    }
    const qint64 floodMs = clock.elapsed();
    QCOMPARE(refused, 0);
    QVERIFY(m_program->isRunning());
    QTRY_COMPARE_WITH_TIMEOUT(openDescriptors(pid), fdsBefore, 30000);
    const qint64 rssAfter = residentKiB(pid);
    qInfo().noquote() << QStringLiteral(
                             "flood of %1 clients (%2 vanishing, %2 sending 519 bytes, %2 silent) in "
                             "%3 ms: descriptors %4 before, %5 after; RSS %6 KiB before, %7 KiB "
                             "after (%8 KiB)")
                             .arg(3 * kEach)
                             .arg(kEach)
                             .arg(floodMs)
                             .arg(fdsBefore)
                             .arg(openDescriptors(pid))
                             .arg(rssBefore)
                             .arg(rssAfter)
                             .arg(rssAfter - rssBefore, 0, 10, QLatin1Char(' '));

    // And the next file still gets through.
    QVERIFY(text.rename(m_user->filePath("after the flood.txt")));
    QCOMPARE(runClient({"after the flood.txt"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("after the flood.txt could not be uploaded"),
                             10000);
    QVERIFY(!m_program->errorOutput().contains("delivered.png"));
}

QTEST_MAIN(TestFileUpload)
#include "tst_fileupload.moc"
