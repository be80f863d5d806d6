// The service's HTTP engine as clients on the open internet use it, through the real binary:
// persistent connections, half-closed and pipelined requests, clients that trickle from many
// addresses, and thousands of idle connections.

#include "server_process.h"
#include "server_test_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace BL::Test;

namespace {

const std::string reservation =
    "POST /api/reserve_code HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n";

bool sendAll(int fd, const std::string& data)
{
    return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

struct SRawReply
{
    int status = 0;
    std::string head;
    std::string body;
};

// One reply from a persistent connection, leaving whatever follows it in `pending`.
SRawReply readReply(int fd, std::string& pending)
{
    char buffer[4096];
    std::size_t headEnd;
    while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return {};
        pending.append(buffer, static_cast<std::size_t>(got));
    }
    SRawReply reply;
    reply.head = pending.substr(0, headEnd);
    reply.status = splitReply(reply.head + "\r\n\r\n").first;
    const std::size_t lengthAt = reply.head.find("Content-Length: ");
    const std::size_t length =
        lengthAt == std::string::npos ? 0 : std::stoul(reply.head.substr(lengthAt + 16));
    while (pending.size() < headEnd + 4 + length) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return {};
        pending.append(buffer, static_cast<std::size_t>(got));
    }
    reply.body = pending.substr(headEnd + 4, length);
    pending.erase(0, headEnd + 4 + length);
    return reply;
}

// True when the peer has closed its side: the next read ends without data.
bool closedByPeer(int fd)
{
    char byte;
    return ::recv(fd, &byte, 1, 0) == 0;
}

// True when nothing has arrived on `fd` and it is still open.
bool stillWaiting(int fd)
{
    char byte;
    const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

} // namespace

class TestServerEngine : public QObject
{
    Q_OBJECT

private slots:
    void persistentConnectionsCarryManyRequests();
    void halfClosedClientsAreAnswered();
    void tricklersFromManyAddressesDoNotDelayOthers();
    void thousandsOfIdleConnectionsAreHeld();
    void largeUploadsWaitOnDiskNotInMemory();
    void rangesAreIgnored();
};

void TestServerEngine::persistentConnectionsCarryManyRequests()
{
    QTemporaryDir dir;
    CServerProcess server(dir.path(), dir.filePath("log"), {"--quiet", "--requests-per-connection", "4"});
    QVERIFY(server.port > 0);
    const int fd = connectFrom("127.0.0.1", server.port);
    QVERIFY(fd >= 0);
    std::string pending;

    // One after the other on the same connection, then three sent at once (pipelined): each is
    // answered, in order, with a code of its own.
    QVERIFY(sendAll(fd, reservation));
    const SRawReply first = readReply(fd, pending);
    QCOMPARE(first.status, 200);
    QVERIFY2(first.head.find("Connection: close") == std::string::npos, first.head.c_str());
    QVERIFY(sendAll(fd, reservation + "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" + reservation));
    const SRawReply second = readReply(fd, pending);
    const SRawReply health = readReply(fd, pending);
    const SRawReply last = readReply(fd, pending);
    QCOMPARE(second.status, 200);
    QCOMPARE(health.body, std::string(R"({"status":"ok"})"));
    QCOMPARE(last.status, 200);
    QVERIFY(jsonValue(first.body, "code") != jsonValue(second.body, "code"));
    QVERIFY(!jsonValue(last.body, "code").empty());
    // The fourth request was the connection's last: it says so, and the service closes.
    QVERIFY2(last.head.find("Connection: close") != std::string::npos, last.head.c_str());
    QVERIFY(pending.empty());
    QVERIFY(closedByPeer(fd));
    ::close(fd);

    // A client asking for the close gets it after its one reply.
    const int once = connectFrom("127.0.0.1", server.port);
    QVERIFY(sendAll(once, "GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    pending.clear();
    QCOMPARE(readReply(once, pending).status, 200);
    QVERIFY(closedByPeer(once));
    ::close(once);
}

void TestServerEngine::halfClosedClientsAreAnswered()
{
    QTemporaryDir dir;
    CServerProcess server(dir.path(), dir.filePath("log"), {"--quiet"});
    QVERIFY(server.port > 0);

    // A whole request, then the client's side closed (as HTTP/1.0 tools and some proxies do):
    // the reply still comes.
    int fd = connectFrom("127.0.0.1", server.port);
    QVERIFY(sendAll(fd, reservation));
    ::shutdown(fd, SHUT_WR);
    const auto reply = splitReply(readAll(fd));
    ::close(fd);
    QCOMPARE(reply.first, 200);
    QCOMPARE(QString::fromStdString(jsonValue(reply.second, "status")), QStringLiteral("ok"));

    // Half a header block, then the close: nothing more can come, so the connection ends at
    // once and quietly instead of waiting out the header deadline for a 408.
    fd = connectFrom("127.0.0.1", server.port, 20000);
    QVERIFY(sendAll(fd, "POST /api/reserve_code HTTP/1.1\r\nHost: 127.0"));
    ::shutdown(fd, SHUT_WR);
    QCOMPARE(QString::fromStdString(readAll(fd)), QString());
    ::close(fd);
    auto client = loopbackClient(server.port);
    QVERIFY(!reserveCode(*client).empty());
}

void TestServerEngine::tricklersFromManyAddressesDoNotDelayOthers()
{
    QTemporaryDir dir;
    CServerProcess server(dir.path(), dir.filePath("log"), {"--quiet"});
    QVERIFY(server.port > 0);

    // 100 clients from 100 addresses, each with a header block it never finishes.
    std::vector<int> tricklers;
    for (int i = 0; i < 100; ++i) {
        const int fd = connectFrom(("127.0.1." + std::to_string(i + 1)).c_str(), server.port, 1000);
        QVERIFY(fd >= 0);
        QVERIFY(sendAll(fd, "POST /api/reserve_code HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "));
        tricklers.push_back(fd);
    }
    std::atomic<bool> stop{false};
    std::thread trickler([&] {
        while (!stop) {
            for (int fd : tricklers)
                ::send(fd, "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            // The clients' own pace, the slowness under test.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });

    QElapsedTimer timer;
    timer.start();
    const auto reply = postFrom("127.0.0.1", server.port, "/api/reserve_code", std::string());
    const qint64 elapsed = timer.elapsed();
    // Every trickler is still held, unanswered: the reservation did not wait for any of them.
    for (int fd : tricklers)
        QVERIFY(stillWaiting(fd));
    stop = true;
    trickler.join();
    for (int fd : tricklers)
        ::close(fd);
    qInfo("reservation beside 100 trickling addresses answered in %lld ms", static_cast<long long>(elapsed));
    QCOMPARE(reply.first, 200);
    QCOMPARE(QString::fromStdString(jsonValue(reply.second, "status")), QStringLiteral("ok"));
}

void TestServerEngine::thousandsOfIdleConnectionsAreHeld()
{
    constexpr int idle = 10000;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < idle + 256)
        QSKIP("the descriptor limit is below 10,000 connections");

    QTemporaryDir dir;
    CServerProcess server(dir.path(), dir.filePath("log"), {"--quiet", "--connections-per-address", "0"});
    QVERIFY(server.port > 0);
    const long before = server.residentKiB();
    // Each connection makes a request and keeps the connection for the next one.
    std::vector<int> connections;
    connections.reserve(idle);
    const std::string health = "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    for (int i = 0; i < idle; ++i) {
        const int fd = connectFrom(("127.0.2." + std::to_string(1 + i % 250)).c_str(), server.port);
        QVERIFY2(fd >= 0, std::to_string(i).c_str());
        QVERIFY(sendAll(fd, health));
        connections.push_back(fd);
    }
    for (int fd : connections) {
        std::string pending;
        QCOMPARE(readReply(fd, pending).status, 200);
    }
    const long during = server.residentKiB();

    QElapsedTimer timer;
    timer.start();
    const auto reply = postFrom("127.0.0.1", server.port, "/api/reserve_code", std::string());
    const qint64 elapsed = timer.elapsed();
    QCOMPARE(reply.first, 200);
    // None of the idle ones was dropped to make room, and each still serves its next request.
    for (int fd : connections)
        QVERIFY(stillWaiting(fd));
    for (int i = 0; i < idle; i += 997) {
        std::string pending;
        QVERIFY(sendAll(connections[i], health));
        QCOMPARE(readReply(connections[i], pending).status, 200);
    }
    for (int fd : connections)
        ::close(fd);
    qInfo("%d idle keep-alive connections: resident memory %ld KiB before, %ld KiB with them (+%ld KiB); "
          "a reservation beside them answered in %lld ms",
          idle, before, during, during - before, static_cast<long long>(elapsed));
}

void TestServerEngine::largeUploadsWaitOnDiskNotInMemory()
{
    QTemporaryDir dir;
    CServerProcess server(dir.path(), dir.filePath("log"), {"--quiet"});
    QVERIFY(server.port > 0);
    const long before = server.residentKiB();

    // Eight pictures of several MiB each, all under way at once: every body but its last byte.
    constexpr int uploads = 8;
    std::vector<std::string> pictures;
    std::vector<int> connections;
    std::vector<std::string> lastBytes;
    std::size_t inFlight = 0;
    for (int i = 0; i < uploads; ++i) {
        pictures.push_back(makePng(1100, 1000, 40 + i));
        const std::string body = clientMultipart(std::string(), std::string(), pictures.back());
        const std::string request =
            "POST /api/upload.php HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + clientMultipartType() +
            "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        const int fd = connectFrom("127.0.0.1", server.port, 20000);
        QVERIFY(fd >= 0);
        QVERIFY(sendAll(fd, request.substr(0, request.size() - 1)));
        connections.push_back(fd);
        lastBytes.push_back(request.substr(request.size() - 1));
        inFlight += body.size();
    }
    // Wait until the service has taken every body in (into its unnamed spool files) before
    // reading its memory.
    const auto spooled = [&] {
        std::uint64_t total = 0;
        const QString fds = QStringLiteral("/proc/%1/fd").arg(server.process.processId());
        for (const QFileInfo& fd : QDir(fds).entryInfoList(QDir::Files | QDir::System)) {
            if (fd.symLinkTarget().startsWith(dir.path()) && fd.symLinkTarget().endsWith("(deleted)"))
                total += static_cast<std::uint64_t>(QFileInfo(fd.filePath()).size());
        }
        return total;
    };
    QTRY_VERIFY_WITH_TIMEOUT(spooled() >= inFlight - uploads, 20000);
    auto client = loopbackClient(server.port);
    QVERIFY(!reserveCode(*client).empty());
    const long during = server.residentKiB();

    std::vector<std::string> links;
    for (int i = 0; i < uploads; ++i) {
        QVERIFY(sendAll(connections[i], lastBytes[i]));
        std::string pending;
        const SRawReply reply = readReply(connections[i], pending);
        ::close(connections[i]);
        QCOMPARE(reply.status, 200);
        links.push_back(jsonValue(reply.body, "url"));
        QVERIFY2(!links.back().empty(), reply.body.c_str());
    }
    for (int i = 0; i < uploads; ++i) {
        const auto picture = client->get("/" + codeOfUrl(links[i]) + ".png");
        QVERIFY(picture);
        QVERIFY(picture->body == pictures[i]);
    }
    qInfo(
        "%d uploads, %zu KiB of bodies under way: resident memory %ld KiB before, %ld KiB during (+%ld KiB)",
        uploads, inFlight >> 10, before, during, during - before);
}

void TestServerEngine::rangesAreIgnored()
{
    CTestServer server;
    auto client = server.client();
    const std::string png = makePng(40, 30, 5);
    const auto upload = postUpload(*client, std::string(), std::string(), png);
    QVERIFY(upload);
    const std::string path = "/" + codeOfUrl(jsonValue(upload->body, "url")) + ".png";
    // Thousands of overlapping parts would have the service send the picture thousands of times
    // for one short request: ranges are not served, the picture goes out once, whole.
    std::string ranges = "bytes=0-";
    for (int i = 0; i < 2000; ++i)
        ranges += ",0-" + std::to_string(png.size() - 1);
    const auto reply = client->get(path, {{"Range", ranges}});
    QVERIFY(reply);
    QCOMPARE(reply->status, 200);
    QVERIFY(!reply->hasHeader("Content-Range"));
    QVERIFY(reply->body == png);
}

QTEST_GUILESS_MAIN(TestServerEngine)
#include "tst_engine.moc"
