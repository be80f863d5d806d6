// URL fetches against real loopback sources: each address of a host in turn, redirects with a
// relative Location, and hostile targets that must end in bounded time with a reason.

#include "raw_target.h"
#include "server/fetch.h"
#include "server/http_server.h"
#include "server_test_support.h"

#include <QElapsedTimer>
#include <QtTest>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>
#include <zlib.h>

using namespace BL::Test;

namespace {

// A picture source on one loopback address that writes down every path it was asked for.
class CSource
{
public:
    CSource(const std::string& address, std::string picture) : m_picture(std::move(picture))
    {
        m_http.get(R"(/.*)", [this](const BL::Server::SHttpRequest& req, BL::Server::SHttpResponse& res) {
            std::string target = req.path;
            if (!req.params.empty())
                target += "?" + req.param("v");
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_asked.push_back(target);
            }
            // A redirect that leads back to its own path is taken only once: the second time
            // carries a query.
            const auto redirect = m_redirects.find(req.path);
            if (redirect != m_redirects.end() && req.params.empty()) {
                res.status = 302;
                res.setHeader("Location", redirect->second);
                return;
            }
            if (m_pictures.count(req.path) == 0) {
                res.status = 404;
                return;
            }
            res.setContent(m_picture, "image/png");
        });
        m_port = m_http.bind(address, 0);
        m_thread = std::thread([this] { m_http.run(); });
    }
    ~CSource()
    {
        m_http.stop();
        m_thread.join();
    }

    void redirect(const std::string& path, const std::string& location) { m_redirects[path] = location; }
    void serve(const std::string& path) { m_pictures.insert(path); }
    std::vector<std::string> asked()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_asked, {});
    }
    int port() const { return m_port; }
    const std::string& picture() const { return m_picture; }

private:
    BL::Server::CHttpServer m_http{BL::Server::SHttpLimits{}};
    std::string m_picture;
    std::map<std::string, std::string> m_redirects;
    std::set<std::string> m_pictures;
    std::mutex m_mutex;
    std::vector<std::string> m_asked;
    std::thread m_thread;
    int m_port = 0;
};

// Look-ups of "pictures.test" answer `addresses`; every other name is unknown.
BL::Server::SFetchOptions resolvingTo(std::vector<std::string> addresses, bool allowPrivate = true)
{
    BL::Server::SFetchOptions options;
    options.allowPrivate = allowPrivate;
    options.timeoutMs = 5000;
    options.resolve = [addresses](const std::string& host, std::vector<std::string>* found) {
        if (host != "pictures.test")
            return false;
        *found = addresses;
        return true;
    };
    return options;
}

// 64 MiB of zeros as a gzip stream of about 64 KiB.
std::string gzipBomb()
{
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 16 + 15, 9, Z_DEFAULT_STRATEGY);
    const std::vector<unsigned char> zeros(1 << 20, 0);
    std::vector<unsigned char> out(1 << 16);
    std::string result;
    for (int i = 0; i < 64; ++i) {
        z.next_in = const_cast<unsigned char*>(zeros.data());
        z.avail_in = static_cast<uInt>(zeros.size());
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            deflate(&z, i == 63 ? Z_FINISH : Z_NO_FLUSH);
            result.append(reinterpret_cast<char*>(out.data()), out.size() - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return result;
}

// The answers of hostile targets. Each sends until the client goes away.

void hugeStatusLine(CRawConnection& connection)
{
    if (!connection.send("HTTP/1.1 200 "))
        return;
    const std::string chunk(64 * 1024, 'A');
    for (int i = 0; i < 30 * 16; ++i)
        if (!connection.send(chunk))
            return;
    if (connection.send("\r\nContent-Type: image/png\r\nContent-Length: 4\r\n\r\nPNG!"))
        connection.closedWithin(-1);
}

void endlessHeaders(CRawConnection& connection)
{
    std::string lines;
    for (int i = 0; i < 64; ++i)
        lines += "X-Filler: " + std::string(100, 'b') + "\r\n";
    if (connection.send("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\n"))
        while (connection.send(lines)) {
        }
}

void trickleBody(CRawConnection& connection)
{
    if (!connection.send("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 100000\r\n\r\n"))
        return;
    while (connection.send("x") && !connection.closedWithin(1000)) {
    }
}

void endlessBody(CRawConnection& connection)
{
    const std::string chunk(64 * 1024, 'z');
    if (connection.send("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nConnection: close\r\n\r\n"))
        while (connection.send(chunk)) {
        }
}

void hugeLength(CRawConnection& connection)
{
    if (connection.send("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 900000000\r\n\r\n"))
        connection.closedWithin(-1);
}

void smallPicture(CRawConnection& connection)
{
    if (connection.send("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 4\r\n\r\nPNG!"))
        connection.closedWithin(-1);
}

void redirectToItself(CRawConnection& connection)
{
    connection.send("HTTP/1.1 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n");
}

void neverAnswer(CRawConnection& connection)
{
    connection.closedWithin(-1);
}

void gzippedZeros(CRawConnection& connection)
{
    static const std::string bomb = gzipBomb();
    if (connection.send("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Encoding: gzip\r\n"
                        "Content-Length: " +
                        std::to_string(bomb.size()) + "\r\n\r\n" + bomb))
        connection.closedWithin(-1);
}

// Small limits, so that every hostile case ends quickly.
BL::Server::SFetchOptions quickOptions()
{
    BL::Server::SFetchOptions options;
    options.allowPrivate = true;
    options.timeoutMs = 1500;
    options.maxBytes = 1024 * 1024;
    return options;
}

} // namespace

class TestServerFetch : public QObject
{
    Q_OBJECT

private slots:
    void eachAddressIsTriedInTurn();
    void relativeLocationsResolveAgainstTheCurrentUrl();
    void connectionsGoOnlyToCheckedAddresses();
    void hostileTargetsAreRefusedInBoundedTime();
    void encodedBodyIsKeptAsSent();
    void serviceRefusesHostileTargetsAndGoesOn();
};

void TestServerFetch::eachAddressIsTriedInTurn()
{
    CSource source("127.0.0.1", makePng(9, 9, 1));
    source.serve("/p.png");
    const std::string url = "http://pictures.test:" + std::to_string(source.port()) + "/p.png";

    // Nothing listens on the first two addresses: the fetch goes on to the one that answers.
    const auto fetched = BL::Server::fetchUrl(url, resolvingTo({"127.0.0.3", "::1", "127.0.0.1"}));
    QVERIFY2(fetched.ok, fetched.reason.c_str());
    QVERIFY(fetched.body == source.picture());
    QCOMPARE(source.asked(), std::vector<std::string>{"/p.png"});

    // An address that answers ends the search, even with a refusal of its own.
    CSource other("127.0.0.2", makePng(9, 9, 2));
    const std::string otherUrl = "http://pictures.test:" + std::to_string(other.port()) + "/p.png";
    const auto refused = BL::Server::fetchUrl(otherUrl, resolvingTo({"127.0.0.2", "127.0.0.1"}));
    QVERIFY(!refused.ok);
    QCOMPARE(refused.reason, std::string("fetch failed"));
    QCOMPARE(other.asked(), std::vector<std::string>{"/p.png"});

    // When no address answers, the fetch fails in words.
    const auto unreachable = BL::Server::fetchUrl(url, resolvingTo({"127.0.0.3", "127.0.0.4"}));
    QVERIFY(!unreachable.ok);
    QCOMPARE(unreachable.reason, std::string("fetch failed"));

    // Every address is checked before any is tried: one loopback address after a public one
    // refuses the host. (The source's port is not 80 or 443, so no fetch could leave the machine
    // even if the check missed it.)
    const auto mixed = BL::Server::fetchUrl(url, resolvingTo({"93.184.216.34", "127.0.0.1"}, false));
    QVERIFY(!mixed.ok);
    QCOMPARE(mixed.reason, std::string("address not allowed"));
    QVERIFY(source.asked().empty());
}

void TestServerFetch::relativeLocationsResolveAgainstTheCurrentUrl()
{
    CSource source("127.0.0.1", makePng(7, 7, 3));
    source.redirect("/a/b/start", "next.png");
    source.serve("/a/b/next.png");
    source.redirect("/a/b/up", "../c/./pic.png#top");
    source.serve("/a/c/pic.png");
    source.redirect("/a/q", "?v=2");
    source.serve("/a/q");
    // A query that holds a URL does not make the reference absolute.
    source.redirect("/abs", "/deep/pic.png?v=http://elsewhere.test/x");
    source.serve("/deep/pic.png");
    source.redirect("/a/b/plain", "//pictures.test:" + std::to_string(source.port()) + "/a/b/next.png");

    struct SCase
    {
        const char* start;
        std::vector<std::string> asked;
    };
    const SCase cases[] = {
        {"/a/b/start", {"/a/b/start", "/a/b/next.png"}},
        {"/a/b/up", {"/a/b/up", "/a/c/pic.png"}},
        {"/a/q", {"/a/q", "/a/q?2"}},
        {"/abs", {"/abs", "/deep/pic.png?http://elsewhere.test/x"}},
        {"/a/b/plain", {"/a/b/plain", "/a/b/next.png"}},
    };
    for (const SCase& test : cases) {
        const auto fetched = BL::Server::fetchUrl(
            "http://pictures.test:" + std::to_string(source.port()) + test.start, resolvingTo({"127.0.0.1"}));
        QVERIFY2(fetched.ok, (std::string(test.start) + ": " + fetched.reason).c_str());
        QVERIFY(fetched.body == source.picture());
        QCOMPARE(source.asked(), test.asked);
    }
}

void TestServerFetch::connectionsGoOnlyToCheckedAddresses()
{
    // The client library reads the URL's host on its own. A look-up that says the literal [::1]
    // is 127.0.0.1 gets 127.0.0.1 checked: the connection must not go to ::1 all the same.
    CRawTarget target(smallPicture, "::1");
    BL::Server::SFetchOptions lying = quickOptions();
    lying.resolve = [](const std::string&, std::vector<std::string>* found) {
        *found = {"127.0.0.1"};
        return true;
    };
    const auto refused = BL::Server::fetchUrl(target.url("/p.png"), lying);
    QVERIFY(!refused.ok);
    QCOMPARE(refused.reason, std::string("address not allowed"));

    // The true answer reaches the target, and this is the only request it ever got.
    const auto fetched = BL::Server::fetchUrl(target.url("/p.png"), quickOptions());
    QVERIFY2(fetched.ok, fetched.reason.c_str());
    QCOMPARE(fetched.body, std::string("PNG!"));
    QCOMPARE(target.requests(), std::vector<std::string>{"GET /p.png HTTP/1.1"});
}

void TestServerFetch::hostileTargetsAreRefusedInBoundedTime()
{
    struct SCase
    {
        const char* name;
        CRawTarget::FAnswer answer;
        const char* reason;
        bool trickle; // a long total time, so that only the low-speed limit can end it
    };
    const SCase cases[] = {
        {"30 MB status line", hugeStatusLine, "response headers too large", false},
        {"endless headers", endlessHeaders, "response headers too large", false},
        {"body at 1 byte a second", trickleBody, "fetch too slow", true},
        {"endless body without a length", endlessBody, "file too large", false},
        {"announced length over the cap", hugeLength, "file too large", false},
        {"redirect loop", redirectToItself, "too many redirects", false},
        {"no answer", neverAnswer, "fetch timed out", false},
    };
    for (const SCase& test : cases) {
        CRawTarget target(test.answer);
        BL::Server::SFetchOptions options = quickOptions();
        if (test.trickle) {
            options.timeoutMs = 60000;
            options.lowSpeedBytes = 64;
            options.lowSpeedSeconds = 1;
        }
        QElapsedTimer clock;
        clock.start();
        const auto fetched = BL::Server::fetchUrl(target.url("/p.png"), options);
        const std::string context = std::string(test.name) + ": " + fetched.reason;
        QVERIFY2(!fetched.ok, test.name);
        QVERIFY2(fetched.reason == test.reason, context.c_str());
        QVERIFY2(fetched.status >= 400 && fetched.status < 500, context.c_str());
        QVERIFY2(fetched.body.empty(), context.c_str());
        // Bounded: the total time, or the low-speed window, and not what the target would take.
        QVERIFY2(clock.elapsed() < 15000, context.c_str());
    }

    // The loop is followed exactly as far as allowed, each hop a request of its own.
    CRawTarget loop(redirectToItself);
    BL::Server::SFetchOptions options = quickOptions();
    options.maxRedirects = 2;
    QCOMPARE(BL::Server::fetchUrl(loop.url("/loop"), options).reason, std::string("too many redirects"));
    QCOMPARE(loop.requests(), std::vector<std::string>(3, "GET /loop HTTP/1.1"));
}

void TestServerFetch::encodedBodyIsKeptAsSent()
{
    // Inflated, the body would be 64 times the cap; as sent it is well under it. The fetch keeps
    // the bytes as they came, so the image check sees the small gzip stream.
    CRawTarget target(gzippedZeros);
    const auto fetched = BL::Server::fetchUrl(target.url("/p.png"), quickOptions());
    QVERIFY2(fetched.ok, fetched.reason.c_str());
    QVERIFY(fetched.body == gzipBomb());
}

void TestServerFetch::serviceRefusesHostileTargetsAndGoesOn()
{
    BL::Server::SServiceOptions options;
    options.allowPrivateFetch = true;
    options.fetchTimeoutMs = 1500;
    CTestServer server(options);
    auto client = server.client();
    const std::pair<CRawTarget::FAnswer, const char*> cases[] = {
        {hugeStatusLine, "response headers too large"},
        {endlessHeaders, "response headers too large"},
        {gzippedZeros, "not a PNG or JPEG image"},
        {neverAnswer, "fetch timed out"},
    };
    for (const auto& [answer, reason] : cases) {
        CRawTarget target(answer);
        const SReserved reserved = reserve(*client);
        QVERIFY(!reserved.secret.empty());
        auto res = client->post("/api/upload", "url=" + target.url("/p.png") + "&code=" + reserved.secret,
                                "application/x-www-form-urlencoded");
        QVERIFY2(res, reason);
        QCOMPARE(res->status, 200);
        QCOMPARE(res->body, std::string(R"({"status":"error","reason":")") + reason + "\"}");
        // The service lives on: the next request is answered, and the refused code says so.
        auto page = client->get(("/" + reserved.code).c_str());
        QVERIFY(page);
        QVERIFY(page->body.find("Upload failed") != std::string::npos);
    }
    auto next = client->post("/api/reserve_code", "", "application/x-www-form-urlencoded");
    QVERIFY(next);
    QCOMPARE(jsonValue(next->body, "status"), std::string("ok"));
}

QTEST_GUILESS_MAIN(TestServerFetch)
#include "tst_fetch.moc"
