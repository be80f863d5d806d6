// URL fetches against real loopback sources: each address of a host in turn, and redirects with
// a relative Location.

#include "server/fetch.h"
#include "server_test_support.h"

#include <QtTest>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

using namespace BL::Test;

namespace {

// A picture source on one loopback address that writes down every path it was asked for.
class CSource
{
public:
    CSource(const std::string& address, std::string picture) : m_picture(std::move(picture))
    {
        m_http.Get(R"(/.*)", [this](const httplib::Request& req, httplib::Response& res) {
            std::string target = req.path;
            if (!req.params.empty())
                target += "?" + req.get_param_value("v");
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_asked.push_back(target);
            }
            // A redirect that leads back to its own path is taken only once: the second time
            // carries a query.
            const auto redirect = m_redirects.find(req.path);
            if (redirect != m_redirects.end() && req.params.empty()) {
                res.status = 302;
                res.set_header("Location", redirect->second);
                return;
            }
            if (m_pictures.count(req.path) == 0) {
                res.status = 404;
                return;
            }
            res.set_content(m_picture, "image/png");
        });
        m_port = m_http.bind_to_any_port(address);
        m_thread = std::thread([this] { m_http.listen_after_bind(); });
    }
    ~CSource()
    {
        // A stop before the loop has begun would be lost, and the join would wait for ever.
        while (!m_http.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
    httplib::Server m_http;
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

} // namespace

class TestServerFetch : public QObject
{
    Q_OBJECT

private slots:
    void eachAddressIsTriedInTurn();
    void relativeLocationsResolveAgainstTheCurrentUrl();
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

QTEST_GUILESS_MAIN(TestServerFetch)
#include "tst_fetch.moc"
