// The upload server over a real local socket: every shape of message a client may send,
// and the clients that would otherwise hold the program's sockets for good.
#include "shell/localserverhandler.h"
#include "shell/uploadmessage.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using BL::Shell::SLocalServerLimits;

namespace {

QByteArray utf16le(const QString& text)
{
    QByteArray bytes;
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xff));
        bytes.append(char(c.unicode() >> 8));
    }
    return bytes;
}

// A path, its NUL and zero filler up to `size` bytes.
QByteArray message(const QString& path, int size = BL::Shell::kUploadMessageBytes)
{
    QByteArray bytes = utf16le(path) + QByteArray(2, '\0');
    if (bytes.size() < size)
        bytes.append(QByteArray(size - bytes.size(), '\0'));
    return bytes;
}

} // namespace

class TestLocalServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void deliversOnePathPerMessage_data();
    void deliversOnePathPerMessage();
    void messageInTwoWritesArrivesAfterTheSecond();
    void clientsAreServedInOrderOfCompletion();
    void shortMessageAndHangUpLeaveNoSocket();
    void silentConnectionIsClosedAtItsDeadline();
    void floodOfConnectionsPushesOutTheOldest();
    void largeWriteIsReadOnlyUpToTheCap();
    void staleSocketFileIsTakenOverLiveOneIsNot();

private:
    CLocalServerHandler* startServer(const SLocalServerLimits& limits = SLocalServerLimits());
    std::unique_ptr<QLocalSocket> connectClient();
    int serverSockets() const { return m_handler->findChildren<QLocalSocket*>().size(); }
    // What the server's ends of the connections hold, unread.
    qint64 bytesHeld() const
    {
        qint64 held = 0;
        for (const QLocalSocket* socket : m_handler->findChildren<QLocalSocket*>())
            held += socket->bytesAvailable();
        return held;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_pipe;
    std::unique_ptr<CLocalServerHandler> m_handler;
    std::unique_ptr<QSignalSpy> m_spy;
};

void TestLocalServer::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_pipe = m_dir->filePath(QStringLiteral("brightloompipe"));
}

void TestLocalServer::cleanup()
{
    m_spy.reset();
    m_handler.reset();
    m_dir.reset();
}

CLocalServerHandler* TestLocalServer::startServer(const SLocalServerLimits& limits)
{
    m_handler = std::make_unique<CLocalServerHandler>(m_pipe, nullptr, limits, nullptr);
    m_spy = std::make_unique<QSignalSpy>(m_handler.get(), &CLocalServerHandler::newFileToUpload);
    return m_handler->isListening() ? m_handler.get() : nullptr;
}

std::unique_ptr<QLocalSocket> TestLocalServer::connectClient()
{
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(m_pipe);
    if (!socket->waitForConnected(5000))
        return nullptr;
    return socket;
}

void TestLocalServer::deliversOnePathPerMessage_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("path");

    QTest::newRow("short path, NUL and padding")
        << message(QStringLiteral("C:\\Temp\\a.png")) << QStringLiteral("C:\\Temp\\a.png");
    const QString long279 = QStringLiteral("/") + QString(278, QLatin1Char('p'));
    QTest::newRow("560 bytes: 279 units and the NUL") << message(long279, 560) << long279;
    const QString units260 = QString(260, QLatin1Char('x'));
    QTest::newRow("520 bytes without NUL") << utf16le(units260) << units260;
    QTest::newRow("odd trailing byte dropped") << (utf16le(units260) + "y") << units260;
    QTest::newRow("nothing read past the first NUL")
        << (utf16le(QStringLiteral("/a.png")) + QByteArray(2, '\0') + utf16le(QString(300, QLatin1Char('z'))))
        << QStringLiteral("/a.png");
    const QString cyrillic = QStringLiteral("/home/u/Снимки экрана/кот.png");
    QTest::newRow("Cyrillic folder") << message(cyrillic) << cyrillic;
    const QString cjk = QStringLiteral("/home/u/截图/スクリーン/사진 1.png");
    QTest::newRow("CJK folders") << message(cjk) << cjk;
    const QString astral =
        QStringLiteral("/home/u/") + QString::fromUcs4(U"\U0001F4F7") + QStringLiteral(".png");
    QTest::newRow("outside the BMP") << message(astral) << astral;
    QTest::newRow("empty path") << message(QString()) << QString();
}

void TestLocalServer::deliversOnePathPerMessage()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, path);
    QVERIFY(startServer());
    auto client = connectClient();
    QVERIFY(client);
    client->write(bytes);
    client->flush();
    QTRY_COMPARE(m_spy->count(), 1);
    QCOMPARE(m_spy->at(0).at(0).toString(), path);
    // One path per connection: the server hangs up and forgets the socket.
    QTRY_COMPARE(client->state(), QLocalSocket::UnconnectedState);
    QTRY_COMPARE(serverSockets(), 0);
    QCOMPARE(m_handler->openConnections(), 0);
    QCOMPARE(m_spy->count(), 1);
}

void TestLocalServer::messageInTwoWritesArrivesAfterTheSecond()
{
    QVERIFY(startServer());
    auto client = connectClient();
    QVERIFY(client);
    const QByteArray bytes = message(QStringLiteral("/tmp/two writes.png"));
    client->write(bytes.left(300));
    client->flush();
    QTRY_COMPARE(m_handler->openConnections(), 1);
    // Read in and looked at: the server keeps them for the rest.
    QTRY_COMPARE(bytesHeld(), qint64(300));
    QCOMPARE(m_spy->count(), 0);
    QCOMPARE(client->state(), QLocalSocket::ConnectedState);
    client->write(bytes.mid(300));
    QCOMPARE(bytes.mid(300).size(), 220);
    client->flush();
    QTRY_COMPARE(m_spy->count(), 1);
    QCOMPARE(m_spy->at(0).at(0).toString(), QStringLiteral("/tmp/two writes.png"));
}

void TestLocalServer::clientsAreServedInOrderOfCompletion()
{
    QVERIFY(startServer());
    auto first = connectClient();
    auto second = connectClient();
    QVERIFY(first && second);
    const QByteArray firstBytes = message(QStringLiteral("/first.png"));
    first->write(firstBytes.left(100));
    first->flush();
    QTRY_COMPARE(m_handler->openConnections(), 2);
    second->write(message(QStringLiteral("/second.png")));
    second->flush();
    QTRY_COMPARE(m_spy->count(), 1);
    first->write(firstBytes.mid(100));
    first->flush();
    QTRY_COMPARE(m_spy->count(), 2);
    QCOMPARE(m_spy->at(0).at(0).toString(), QStringLiteral("/second.png"));
    QCOMPARE(m_spy->at(1).at(0).toString(), QStringLiteral("/first.png"));
}

void TestLocalServer::shortMessageAndHangUpLeaveNoSocket()
{
    QVERIFY(startServer());
    for (int round = 0; round < 20; ++round) {
        auto client = connectClient();
        QVERIFY(client);
        client->write(message(QStringLiteral("/never.png")).left(519));
        client->flush();
        QTRY_COMPARE(m_handler->openConnections(), 1);
        client->disconnectFromServer();
        QTRY_COMPARE(m_handler->openConnections(), 0);
    }
    // Not kept until the server goes: each is deleted once its peer left.
    QTRY_COMPARE(serverSockets(), 0);
    QCOMPARE(m_spy->count(), 0);
}

void TestLocalServer::silentConnectionIsClosedAtItsDeadline()
{
    SLocalServerLimits limits;
    limits.deadlineMs = 300;
    QVERIFY(startServer(limits));
    auto silent = connectClient();
    auto slow = connectClient();
    QVERIFY(silent && slow);
    slow->write(message(QStringLiteral("/slow.png")).left(400));
    slow->flush();
    QTRY_COMPARE(m_handler->openConnections(), 2);
    // A slow client is not let off by sending a little more once the server has the rest.
    QTRY_COMPARE(bytesHeld(), qint64(400));
    slow->write("\0\0", 2);
    slow->flush();
    QTRY_COMPARE_WITH_TIMEOUT(silent->state(), QLocalSocket::UnconnectedState, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(slow->state(), QLocalSocket::UnconnectedState, 5000);
    QTRY_COMPARE(serverSockets(), 0);
    QCOMPARE(m_spy->count(), 0);
}

void TestLocalServer::floodOfConnectionsPushesOutTheOldest()
{
    SLocalServerLimits limits;
    limits.maxConnections = 8;
    QVERIFY(startServer(limits));
    std::vector<std::unique_ptr<QLocalSocket>> silent;
    for (int i = 0; i < 20; ++i) {
        silent.push_back(connectClient());
        QVERIFY(silent.back());
        QTRY_VERIFY(m_handler->openConnections() == qMin(i + 1, 8));
    }
    QTRY_COMPARE(serverSockets(), 8);
    // The first twelve were pushed out, the newest eight are still held.
    for (int i = 0; i < 20; ++i)
        QTRY_COMPARE(silent[i]->state(),
                     i < 12 ? QLocalSocket::UnconnectedState : QLocalSocket::ConnectedState);
    auto client = connectClient();
    QVERIFY(client);
    client->write(message(QStringLiteral("/still delivered.png")));
    client->flush();
    QTRY_COMPARE(m_spy->count(), 1);
    QCOMPARE(m_spy->at(0).at(0).toString(), QStringLiteral("/still delivered.png"));
}

void TestLocalServer::largeWriteIsReadOnlyUpToTheCap()
{
    SLocalServerLimits limits;
    QVERIFY(startServer(limits));
    // A client that pours out megabytes without a NUL: read no more than the cap.
    // Non-blocking: the server reads on this very thread, only once we return to the loop.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    QVERIFY(fd >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(m_pipe);
    qstrncpy(address.sun_path, path.constData(), sizeof(address.sun_path));
    QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    const QByteArray chunk = utf16le(QString(32 * 1024, QLatin1Char('m')));
    qint64 written = 0;
    for (int i = 0; i < 16; ++i) {
        const ssize_t n = ::write(fd, chunk.constData(), size_t(chunk.size()));
        if (n <= 0)
            break;
        written += n;
    }
    // The kernel takes a few hundred kilobytes before the server reads anything.
    QVERIFY(written > limits.maxBytes);
    // Whatever the program pulled in beyond the message it has read is still in its buffer.
    qint64 leftInProgram = -1;
    connect(m_handler.get(), &CLocalServerHandler::newFileToUpload, this, [&] {
        leftInProgram = 0;
        for (const QLocalSocket* socket : m_handler->findChildren<QLocalSocket*>())
            leftInProgram += socket->bytesAvailable();
    });
    QTRY_COMPARE(m_spy->count(), 1);
    QCOMPARE(leftInProgram, 0);
    const QString delivered = m_spy->at(0).at(0).toString();
    QVERIFY(delivered.size() >= 260);
    QVERIFY2(delivered.size() <= limits.maxBytes / 2, qPrintable(QString::number(delivered.size())));
    QVERIFY(delivered.count(QLatin1Char('m')) == delivered.size());
    ::close(fd);
    QTRY_COMPARE(serverSockets(), 0);
}

void TestLocalServer::staleSocketFileIsTakenOverLiveOneIsNot()
{
    // What a killed instance leaves behind: a socket file nobody listens on.
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(m_pipe).constData(), sizeof(address.sun_path));
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ::close(fd);
        QVERIFY(QFileInfo::exists(m_pipe));
    }
    QVERIFY(startServer());
    // The socket file is this user's alone.
    QCOMPARE(QFileInfo(m_pipe).permissions() &
                 (QFile::ReadOther | QFile::WriteOther | QFile::ReadGroup | QFile::WriteGroup),
             QFile::Permissions());

    CLocalServerHandler second(m_pipe, nullptr, SLocalServerLimits(), nullptr);
    QSignalSpy secondSpy(&second, &CLocalServerHandler::newFileToUpload);
    QVERIFY(!second.isListening());
    auto client = connectClient();
    QVERIFY(client);
    client->write(message(QStringLiteral("/to the first.png")));
    client->flush();
    QTRY_COMPARE(m_spy->count(), 1);
    QCOMPARE(secondSpy.count(), 0);
}

QTEST_GUILESS_MAIN(TestLocalServer)
#include "tst_localserver.moc"
