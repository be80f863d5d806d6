// Web pages, accounts and sessions, crash reports and update feeds.

#include "brightloom_build.h"
#include "server/http_server.h"
#include "server/util.h"
#include "server_test_support.h"

#include <QDir>
#include <QFile>
#include <QtTest>

using namespace BL::Test;

namespace {

const char form[] = "application/x-www-form-urlencoded";

std::string sessionFrom(const SReply& res)
{
    const std::string cookie = res.header("Set-Cookie");
    const std::string prefix = "bl_session=";
    if (cookie.rfind(prefix, 0) != 0)
        return {};
    return cookie.substr(prefix.size(), cookie.find(';') - prefix.size());
}

// The whole Set-Cookie header of the form cookie, or empty.
std::string formCookieOf(const SReply& res)
{
    for (std::size_t i = 0, n = res.headerCount("Set-Cookie"); i < n; ++i) {
        const std::string cookie = res.header("Set-Cookie", i);
        if (cookie.rfind("bl_form=", 0) == 0)
            return cookie;
    }
    return {};
}

} // namespace

class TestServerPages : public QObject
{
    Q_OBJECT

private slots:
    void staticPagesAreSelfContained();
    void signupChecksAddressAndDuplicates();
    void historyNeedsSignInAndListsOwnUploadsNewestFirst();
    void userTextIsEscaped();
    void sessionCookieIsSecureBehindHttps();
    void formsAreRefusedWithoutTheirToken();
    void reportIsStoredWithItsParameters();
    void appcastServedPerPlatform();
};

void TestServerPages::staticPagesAreSelfContained()
{
    CTestServer server;
    auto client = server.client();
    for (const char* path : {"/", "/about", "/signup", "/user/history"}) {
        auto res = client->get(path);
        QVERIFY(res);
        QCOMPARE(res->status, 200);
        QVERIFY(res->header("Content-Type").rfind("text/html", 0) == 0);
        QVERIFY(res->body.rfind("<!DOCTYPE html>", 0) == 0);
        // No scripts and nothing fetched from elsewhere.
        QVERIFY(res->body.find("<script") == std::string::npos);
        QVERIFY(res->body.find("http://") == std::string::npos &&
                res->body.find("https://") == std::string::npos);
    }
    auto missing = client->get("/no/such/page");
    QVERIFY(missing);
    QCOMPARE(missing->status, 404);
}

void TestServerPages::sessionCookieIsSecureBehindHttps()
{
    for (const bool https : {false, true}) {
        BL::Server::SServiceOptions options;
        if (https)
            options.publicUrl = "https://shots.example.org";
        CTestServer server(options);
        auto client = server.client();
        QCOMPARE(submitForm(*client, "/signup", "email=sec@example.org&password=secure-me")->status, 200);
        auto signIn = submitForm(*client, "/user/history", "email=sec@example.org&password=secure-me");
        QVERIFY(signIn);
        QCOMPARE(signIn->status, 303);
        auto signOut = submitForm(*client, "/user/history", "", "bl_session=" + sessionFrom(*signIn));
        QVERIFY(signOut);
        QCOMPARE(signOut->status, 303);
        for (const std::string& cookie : {signIn->header("Set-Cookie"), signOut->header("Set-Cookie"),
                                          formCookieOf(*client->get("/signup"))}) {
            QVERIFY2(cookie.find("; HttpOnly") != std::string::npos, cookie.c_str());
            QVERIFY2(cookie.find("; SameSite=Lax") != std::string::npos, cookie.c_str());
            QVERIFY2((cookie.find("; Secure") != std::string::npos) == https, cookie.c_str());
        }
    }
}

void TestServerPages::formsAreRefusedWithoutTheirToken()
{
    BL::Server::SServiceOptions options;
    options.signInsPerMinute = 100; // the failed-check limit is the one under test
    CTestServer server(options);
    auto client = server.client();
    const std::string fields = "email=csrf@example.org&password=csrf-secret";
    const std::string hash = BL::Server::sha1Hex("csrf@example.orgcsrf-secret");
    const SWebForm mine = loadForm(*client, "/signup");
    const SWebForm theirs = loadForm(*client, "/signup");
    QVERIFY(!mine.token.empty() && !mine.cookie.empty() && mine.token != theirs.token);
    const auto post = [&](const std::string& path, const std::string& cookie, const std::string& body) {
        return client->post(path.c_str(), {{"Cookie", cookie}}, body, form);
    };
    // What another site can make a browser send: no token, a made-up one, or one loaded by
    // another browser (with that browser's cookie missing).
    for (const auto& res : {post("/signup", mine.cookie, fields),
                            post("/signup", mine.cookie, fields + "&csrf=" + std::string(64, 'a')),
                            post("/signup", mine.cookie, fields + "&csrf=" + theirs.token),
                            post("/signup", std::string(), fields + "&csrf=" + mine.token)}) {
        QVERIFY(res);
        QCOMPARE(res->status, 403);
        QVERIFY(res->body.find("This form has expired.") != std::string::npos);
    }
    auto check = [&] {
        return jsonValue(client->post("/api/check_hash", "hash=" + hash + "&uuid=u", form)->body, "exists");
    };
    QCOMPARE(check(), std::string("false"));
    auto created = post("/signup", mine.cookie, fields + "&csrf=" + mine.token);
    QCOMPARE(created->status, 200);
    QCOMPARE(check(), std::string("true"));

    // A sign-in without its token signs nobody in, and does not count as a failed check.
    for (int i = 0; i <= options.failedChecksPerMinute; ++i) {
        auto forged = post("/user/history", mine.cookie, fields);
        QCOMPARE(forged->status, 403);
        QVERIFY(sessionFrom(*forged).empty());
    }
    auto signIn = submitForm(*client, "/user/history", fields);
    QCOMPARE(signIn->status, 303);
    const std::string session = "bl_session=" + sessionFrom(*signIn);

    // A sign-out without the token leaves the session signed in.
    auto forgedOut = post("/user/signout", session + "; " + mine.cookie, "csrf=" + theirs.token);
    QCOMPARE(forgedOut->status, 403);
    QVERIFY(client->get("/user/history", {{"Cookie", session}})->body.find("Signed in as") !=
            std::string::npos);
    QCOMPARE(submitForm(*client, "/user/history", "", session)->status, 303);
    QVERIFY(client->get("/user/history", {{"Cookie", session}})->body.find("Signed in as") ==
            std::string::npos);
}

void TestServerPages::signupChecksAddressAndDuplicates()
{
    CTestServer server;
    auto client = server.client();
    // The desktop client's address pattern: one dot after the @ at least, no blanks.
    for (const char* email : {"no-at-sign", "a@b", "a%20b@c.de", "a@b_c.de"}) {
        auto res = submitForm(*client, "/signup", std::string("email=") + email + "&password=secret1");
        QVERIFY(res);
        QCOMPARE(res->status, 400);
        QVERIFY(res->body.find("valid e-mail") != std::string::npos);
    }
    auto shortPassword = submitForm(*client, "/signup", "email=bo%2Bx@example.org&password=12345");
    QCOMPARE(shortPassword->status, 400);

    // "+" arrives percent-encoded from a browser form; the credential uses the decoded address.
    auto created = submitForm(*client, "/signup", "email=bo%2Bx@example.org&password=p%40ss+word");
    QVERIFY(created);
    QCOMPARE(created->status, 200);
    auto check = client->post("/api/check_hash",
                              "hash=" + BL::Server::sha1Hex("bo+x@example.orgp@ss word") + "&uuid=x", form);
    QCOMPARE(QString::fromStdString(check->body), QString::fromLatin1(R"({"exists":true})"));

    auto again = submitForm(*client, "/signup", "email=BO%2BX@example.org&password=other-password");
    QVERIFY(again);
    QCOMPARE(again->status, 409);
    auto mismatch = submitForm(*client, "/signup", "email=c@example.org&password=secret1&password2=secret2");
    QCOMPARE(mismatch->status, 400);
}

void TestServerPages::historyNeedsSignInAndListsOwnUploadsNewestFirst()
{
    CTestServer server;
    auto client = server.client();
    QCOMPARE(submitForm(*client, "/signup", "email=hist@example.org&password=hunter22")->status, 200);
    QCOMPARE(submitForm(*client, "/signup", "email=other@example.org&password=hunter22")->status, 200);
    const std::string hash = BL::Server::sha1Hex("hist@example.orghunter22");
    const std::string otherHash = BL::Server::sha1Hex("other@example.orghunter22");

    std::vector<std::string> mine;
    for (unsigned i = 0; i < 3; ++i) {
        auto res = postUpload(*client, hash, reserveCode(*client), makePng(8, 8, i));
        mine.push_back(codeOfUrl(jsonValue(res->body, "url")));
        QTest::qSleep(5); // distinct upload times
    }
    const std::string theirs =
        codeOfUrl(jsonValue(postUpload(*client, otherHash, "", makePng(8, 8, 9))->body, "url"));
    const std::string anonymous =
        codeOfUrl(jsonValue(postUpload(*client, "", "", makePng(8, 8, 10))->body, "url"));

    auto signedOut = client->get("/user/history");
    QVERIFY(signedOut->body.find("name=\"password\"") != std::string::npos);
    QVERIFY(signedOut->body.find(mine[0]) == std::string::npos);

    auto wrong = submitForm(*client, "/user/history", "email=hist@example.org&password=wrong-one");
    QCOMPARE(wrong->status, 403);
    QVERIFY(sessionFrom(*wrong).empty());

    auto signIn = submitForm(*client, "/user/history", "email=hist@example.org&password=hunter22");
    QVERIFY(signIn);
    QCOMPARE(signIn->status, 303);
    QCOMPARE(QString::fromStdString(signIn->header("Location")), QStringLiteral("/user/history"));
    const std::string cookieHeader = signIn->header("Set-Cookie");
    QVERIFY(cookieHeader.find("HttpOnly") != std::string::npos);
    const std::string token = sessionFrom(*signIn);
    QVERIFY(BL::Server::isAlnumText(token, 64, 64));

    const SHeaders withCookie{{"Cookie", "theme=dark; bl_session=" + token}};
    auto page = client->get("/user/history", withCookie);
    QVERIFY(page);
    QCOMPARE(page->status, 200);
    const std::size_t newest = page->body.find("href=\"/" + mine[2] + "\"");
    const std::size_t middle = page->body.find("href=\"/" + mine[1] + "\"");
    const std::size_t oldest = page->body.find("href=\"/" + mine[0] + "\"");
    QVERIFY(newest != std::string::npos && middle != std::string::npos && oldest != std::string::npos);
    QVERIFY(newest < middle && middle < oldest);
    QVERIFY(page->body.find(theirs) == std::string::npos);
    QVERIFY(page->body.find(anonymous) == std::string::npos);

    // A made-up token and a signed-out token both get the sign-in form.
    auto forged = client->get("/user/history", {{"Cookie", "bl_session=" + std::string(64, 'a')}});
    QVERIFY(forged->body.find(mine[0]) == std::string::npos);
    QCOMPARE(submitForm(*client, "/user/history", "", "theme=dark; bl_session=" + token)->status, 303);
    QVERIFY(client->get("/user/history", withCookie)->body.find(mine[0]) == std::string::npos);
}

void TestServerPages::userTextIsEscaped()
{
    BL::Server::SServiceOptions options;
    options.allowPrivateFetch = true;
    CTestServer server(options);
    BL::Server::CHttpServer source{BL::Server::SHttpLimits{}};
    const std::string png = makePng(6, 6, 11);
    source.get("/p.png", [&png](const BL::Server::SHttpRequest&, BL::Server::SHttpResponse& res) {
        res.setContent(png, "image/png");
    });
    const int sourcePort = source.bind("127.0.0.1", 0);
    std::thread sourceThread([&source] { source.run(); });

    auto client = server.client();
    QCOMPARE(submitForm(*client, "/signup", "email=esc@example.org&password=password1")->status, 200);
    const std::string hash = BL::Server::sha1Hex("esc@example.orgpassword1");
    auto upload = client->post(
        "/api/upload",
        "url=http://127.0.0.1:" + std::to_string(sourcePort) + "/p.png?q=<b>\"x\"</b>&hash=" + hash, form);
    source.stop();
    sourceThread.join();
    QVERIFY(upload);
    QCOMPARE(upload->status, 200);

    auto signIn = submitForm(*client, "/user/history", "email=esc@example.org&password=password1");
    auto page = client->get("/user/history", {{"Cookie", "bl_session=" + sessionFrom(*signIn)}});
    QVERIFY(page->body.find("<b>") == std::string::npos);
    QVERIFY(page->body.find("q=&lt;b&gt;&quot;x&quot;&lt;/b&gt;") != std::string::npos);

    // A refused sign-up shows the address back, escaped.
    auto refused = submitForm(*client, "/signup", "email=%3Cimg+src%3Dx%3E&password=password1");
    QVERIFY(refused->body.find("<img src=x>") == std::string::npos);
    QVERIFY(refused->body.find("&lt;img src=x&gt;") != std::string::npos);
}

void TestServerPages::reportIsStoredWithItsParameters()
{
    CTestServer server;
    auto client = server.client();
    const std::string dump("MDMP\0\x01\x02binary\xff", 14);
    std::vector<SFormItem> items = {
        {"os_type", "linux", "", ""},
        {"build_host_user", "builder@host", "", ""},
        {"ver", "1.0.0.1", "", ""},
        {"email", "ann@example.org", "", ""},
        {"upload_file_minidump", dump, "3f2a.dmp", "application/octet-stream"},
    };
    auto res = client->post("/report", items);
    QVERIFY(res);
    QCOMPARE(res->status, 200);
    const std::string id = res->body;
    QVERIFY2(BL::Server::isAlnumText(id, 16, 16), id.c_str());
    QVERIFY(readFile(server.dataDir() + "/reports/" + QString::fromStdString(id) + ".dmp") == dump);

    items.pop_back();
    auto noDump = client->post("/report", items);
    QVERIFY(noDump);
    QCOMPARE(noDump->status, 400);
    QCOMPARE(QString::fromStdString(noDump->body),
             QString::fromLatin1(R"({"status":"error","reason":"missing dump file"})"));
}

void TestServerPages::appcastServedPerPlatform()
{
    CTestServer server;
    auto client = server.client();
    // Before the operator publishes a feed, the service announces its own build.
    auto own = client->get("/desktop/updates/windows");
    QVERIFY(own);
    QCOMPARE(own->status, 200);
    QVERIFY(own->body.find("<sparkle:version>" BL_PRODUCT_BUILD "</sparkle:version>") != std::string::npos);
    QVERIFY(own->body.find("<link>" + server.baseUrl() + "/about</link>") != std::string::npos);

    const std::string feed = "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>Brightloom</title>"
                             "</channel></rss>\n";
    QFile file(server.dataDir() + "/appcast/windows.xml");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(feed.data(), static_cast<qint64>(feed.size()));
    file.close();
    auto res = client->get("/desktop/updates/windows");
    QVERIFY(res);
    QCOMPARE(res->status, 200);
    QVERIFY(res->body == feed);
    QCOMPARE(QString::fromStdString(res->header("Content-Type")), QStringLiteral("application/xml"));
    // The other platforms still have only the service's own feed.
    auto linux = client->get("/desktop/updates/linux");
    QVERIFY(linux);
    QCOMPARE(linux->status, 200);
    QVERIFY(linux->body != feed);
    // A feed that exists but cannot be read is an error, never "nothing newer".
    QVERIFY(QDir(server.dataDir() + "/appcast").mkdir("mac.xml"));
    QCOMPARE(client->get("/desktop/updates/mac")->status, 500);
    // Only plain platform names reach the file system.
    QCOMPARE(client->get("/desktop/updates/..%2Fbrightloom.db")->status, 404);
    QCOMPARE(client->get("/desktop/updates/../brightloom.db")->status, 404);
}

QTEST_GUILESS_MAIN(TestServerPages)
#include "tst_pages.moc"
