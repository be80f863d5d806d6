// The client API on a real loopback socket: replies byte for byte as the desktop client reads them.

#include "server/fetch.h"
#include "server/http_server.h"
#include "server/util.h"
#include "server_test_support.h"

#include <QRegularExpression>
#include <QtTest>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <mutex>

using namespace BL::Test;

class TestServerApi : public QObject
{
    Q_OBJECT

private slots:
    void reservationRepliesWithCodeAndLink();
    void reservedCodeShowsProgressThenPicture();
    void codeIsUsableOnce();
    void pastedLinkCannotUploadAndRefusalEndsTheCode();
    void uploadWithoutCodeGetsFreshCode();
    void comparisonPairKeepsBothPictures();
    void unknownAndMalformedCodesAreRefused();
    void expiredCodeIsRefused();
    void checkHashKnowsSignedUpAccounts();
    void urlUploadFetchesFollowsAndLimits();
    void urlUploadToLoopbackRefusedByDefault();

private:
    std::string signUp(CTestServer& server, const std::string& email, const std::string& password);
};

std::string TestServerApi::signUp(CTestServer& server, const std::string& email, const std::string& password)
{
    auto client = server.client();
    auto res =
        submitForm(*client, "/signup", "email=" + email + "&password=" + password + "&password2=" + password);
    if (!res || res->status != 200)
        return {};
    return BL::Server::sha1Hex(email + password);
}

void TestServerApi::reservationRepliesWithCodeAndLink()
{
    CTestServer server;
    auto client = server.client();
    // The client posts an empty body with Content-Length 0.
    auto first = client->post("/api/reserve_code", "", "application/x-www-form-urlencoded");
    QVERIFY(first);
    QCOMPARE(first->status, 200);
    QCOMPARE(QString::fromStdString(first->header("Content-Type")), QStringLiteral("application/json"));
    // The code the uploader names is a secret; the link carries a public code of its own.
    const QRegularExpression shape(
        QString::fromLatin1(
            R"re(^\{"status":"ok","code":"([A-Za-z0-9]{24})","url":"http://127\.0\.0\.1:%1/([A-Za-z0-9]{10})"\}$)re")
            .arg(server.port()));
    const auto match = shape.match(QString::fromStdString(first->body));
    QVERIFY2(match.hasMatch(), first->body.c_str());
    QVERIFY(!match.captured(1).contains(match.captured(2)));

    auto second = client->post("/api/reserve_code", "", "application/x-www-form-urlencoded");
    QVERIFY(second);
    QVERIFY(shape.match(QString::fromStdString(second->body)).hasMatch());
    QVERIFY(jsonValue(second->body, "code") != match.captured(1).toStdString());
}

void TestServerApi::reservedCodeShowsProgressThenPicture()
{
    CTestServer server;
    auto client = server.client();
    const SReserved reserved = reserve(*client);
    const std::string code = reserved.code;
    QVERIFY(!code.empty());

    // The link reaches the clipboard before the picture: it must already show a page.
    auto waiting = client->get(("/" + code).c_str());
    QVERIFY(waiting);
    QCOMPARE(waiting->status, 200);
    QVERIFY(waiting->body.find("Upload in progress") != std::string::npos);
    QVERIFY(waiting->body.find("http-equiv=\"refresh\"") != std::string::npos);
    auto noPicture = client->get(("/" + code + ".png").c_str());
    QVERIFY(noPicture);
    QCOMPARE(noPicture->status, 404);

    const std::string png = makePng(40, 30, 1);
    auto upload = postUpload(*client, std::string(), reserved.secret, png);
    QVERIFY(upload);
    QCOMPARE(upload->status, 200);
    QCOMPARE(QString::fromStdString(upload->body),
             QString::fromStdString("{\"status\":\"ok\",\"url\":\"" + server.baseUrl() + "/" + code + "\"}"));

    auto page = client->get(("/" + code).c_str());
    QVERIFY(page);
    QCOMPARE(page->status, 200);
    QVERIFY(page->body.find("Upload in progress") == std::string::npos);
    QVERIFY(page->body.find("<img src=\"/" + code + ".png\"") != std::string::npos);

    auto picture = client->get(("/" + code + ".png").c_str());
    QVERIFY(picture);
    QCOMPARE(picture->status, 200);
    QCOMPARE(QString::fromStdString(picture->header("Content-Type")), QStringLiteral("image/png"));
    QVERIFY(picture->body == png);
}

void TestServerApi::codeIsUsableOnce()
{
    CTestServer server;
    auto client = server.client();
    const auto [secret, code] = reserve(*client);
    const std::string first = makePng(20, 20, 2);
    QCOMPARE(postUpload(*client, std::string(), secret, first)->status, 200);

    auto again = postUpload(*client, std::string(), secret, makePng(20, 20, 3));
    QVERIFY(again);
    QCOMPARE(again->status, 200);
    QCOMPARE(QString::fromStdString(again->body),
             QString::fromLatin1(R"({"status":"error","reason":"code already used"})"));
    // The refused second picture must not replace the first.
    QVERIFY(client->get(("/" + code + ".png").c_str())->body == first);
}

void TestServerApi::pastedLinkCannotUploadAndRefusalEndsTheCode()
{
    CTestServer server;
    auto client = server.client();
    const auto [secret, code] = reserve(*client);
    const std::string png = makePng(20, 20, 12);

    // Whoever sees the link knows only the public code.
    auto pasted = postUpload(*client, std::string(), code, png);
    QVERIFY(pasted);
    QCOMPARE(QString::fromStdString(pasted->body),
             QString::fromLatin1(R"({"status":"error","reason":"unknown code"})"));
    QVERIFY(client->get(("/" + code).c_str())->body.find("Upload in progress") != std::string::npos);

    // A refused upload ends the code: the page says so at once and nothing later gets in.
    auto refused = postUpload(*client, std::string(), secret, "hello, world");
    QVERIFY(refused);
    QCOMPARE(QString::fromStdString(refused->body),
             QString::fromLatin1(R"({"status":"error","reason":"not a PNG or JPEG image"})"));
    auto page = client->get(("/" + code).c_str());
    QVERIFY(page);
    QCOMPARE(page->status, 200);
    QVERIFY2(page->body.find("Upload failed") != std::string::npos, page->body.c_str());
    QVERIFY(page->body.find("http-equiv=\"refresh\"") == std::string::npos);
    auto late = postUpload(*client, std::string(), secret, png);
    QVERIFY(late);
    QCOMPARE(QString::fromStdString(late->body),
             QString::fromLatin1(R"({"status":"error","reason":"code ended by a failed upload"})"));
    QCOMPARE(client->get(("/" + code + ".png").c_str())->status, 404);
}

void TestServerApi::uploadWithoutCodeGetsFreshCode()
{
    CTestServer server;
    auto client = server.client();
    const std::string png = makePng(33, 17, 4);
    auto upload = postUpload(*client, std::string(), std::string(), png);
    QVERIFY(upload);
    QCOMPARE(upload->status, 200);
    const QRegularExpression shape(
        QString::fromLatin1(R"(^\{"status":"ok","url":"http://127\.0\.0\.1:%1/[A-Za-z0-9]{10}"\}$)")
            .arg(server.port()));
    QVERIFY2(shape.match(QString::fromStdString(upload->body)).hasMatch(), upload->body.c_str());
    const std::string code = codeOfUrl(jsonValue(upload->body, "url"));
    QVERIFY(client->get(("/" + code + ".png").c_str())->body == png);
}

void TestServerApi::comparisonPairKeepsBothPictures()
{
    CTestServer server;
    auto client = server.client();
    const auto [secret, code] = reserve(*client);
    const std::string png = makePng(30, 30, 5);
    const std::string jpeg = makeJpeg(30, 30, 6);
    auto upload = postUpload(*client, std::string(), secret, png, &jpeg);
    QVERIFY(upload);
    QCOMPARE(upload->status, 200);

    auto first = client->get(("/" + code + ".png").c_str());
    auto second = client->get(("/" + code + "-2.png").c_str());
    QVERIFY(first && second);
    QVERIFY(first->body == png);
    QVERIFY(second->body == jpeg);
    QCOMPARE(QString::fromStdString(second->header("Content-Type")), QStringLiteral("image/jpeg"));
    auto page = client->get(("/" + code).c_str());
    QVERIFY(page->body.find("/" + code + ".png") != std::string::npos);
    QVERIFY(page->body.find("/" + code + "-2.png") != std::string::npos);

    // A single picture has no second one.
    auto single = postUpload(*client, std::string(), std::string(), png);
    const std::string singleCode = codeOfUrl(jsonValue(single->body, "url"));
    QCOMPARE(client->get(("/" + singleCode + "-2.png").c_str())->status, 404);
}

void TestServerApi::unknownAndMalformedCodesAreRefused()
{
    CTestServer server;
    auto client = server.client();
    const std::string png = makePng(10, 10, 7);
    const std::string unknownReply = R"({"status":"error","reason":"unknown code"})";
    for (const std::string& code :
         {std::string("NoSuchCode1"), std::string("bad/code"), std::string(10000, 'A')}) {
        auto res = postUpload(*client, std::string(), code, png);
        QVERIFY(res);
        QCOMPARE(res->status, 200);
        QCOMPARE(QString::fromStdString(res->body), QString::fromStdString(unknownReply));
    }
    QCOMPARE(client->get("/NoSuchCode1")->status, 404);
    QCOMPARE(client->get("/NoSuchCode1.png")->status, 404);
}

void TestServerApi::expiredCodeIsRefused()
{
    BL::Server::SServiceOptions options;
    options.codeLifetimeMs = 300;
    CTestServer server(options);
    auto client = server.client();
    const std::string code = reserveCode(*client);
    QVERIFY(!code.empty());
    QTest::qSleep(450);
    auto res = postUpload(*client, std::string(), code, makePng(10, 10, 8));
    QVERIFY(res);
    QCOMPARE(res->status, 200);
    QCOMPARE(QString::fromStdString(res->body),
             QString::fromLatin1(R"({"status":"error","reason":"code expired"})"));
    // An expired reservation no longer promises a picture.
    QCOMPARE(client->get(("/" + code).c_str())->status, 404);
}

void TestServerApi::checkHashKnowsSignedUpAccounts()
{
    CTestServer server;
    const std::string hash = signUp(server, "ann@example.org", "secret-1");
    QCOMPARE(hash.size(), std::size_t(40));
    auto client = server.client();
    const std::string uuid = "0f8fad5b-d9cb-469f-a165-70867728950e";
    // The client's body: "hash=" 40 digits "&uuid=" 36 characters, 87 bytes.
    const std::string known = "hash=" + hash + "&uuid=" + uuid;
    QCOMPARE(known.size(), std::size_t(87));
    auto yes = client->post("/api/check_hash", known, "application/x-www-form-urlencoded");
    QVERIFY(yes);
    QCOMPARE(yes->status, 200);
    QCOMPARE(QString::fromStdString(yes->body), QString::fromLatin1(R"({"exists":true})"));

    const std::string other = BL::Server::sha1Hex("ann@example.orgwrong");
    auto no = client->post("/api/check_hash", "hash=" + other + "&uuid=" + uuid,
                           "application/x-www-form-urlencoded");
    QVERIFY(no);
    QCOMPARE(no->status, 200);
    QCOMPARE(QString::fromStdString(no->body), QString::fromLatin1(R"({"exists":false})"));
    // Upper-case digits are not the client's hash form.
    std::string upper = hash;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    QCOMPARE(QString::fromStdString(client
                                        ->post("/api/check_hash", "hash=" + upper + "&uuid=" + uuid,
                                               "application/x-www-form-urlencoded")
                                        ->body),
             QString::fromLatin1(R"({"exists":false})"));
}

// A picture source on loopback for URL uploads.
class CPictureSource
{
public:
    explicit CPictureSource(const std::string& png) : picture(png)
    {
        m_server.get("/img.png", [this](const BL::Server::SHttpRequest& req, BL::Server::SHttpResponse& res) {
            ++hits;
            lastQuery = req.target;
            res.setContent(picture, "image/png");
        });
        m_server.get(R"(/hop(\d))",
                     [this](const BL::Server::SHttpRequest& req, BL::Server::SHttpResponse& res) {
                         ++hits;
                         const int left = std::stoi(req.matches[1]);
                         res.setRedirect(left == 0 ? "/img.png" : "/hop" + std::to_string(left - 1));
                     });
        m_server.get("/text", [this](const BL::Server::SHttpRequest&, BL::Server::SHttpResponse& res) {
            ++hits;
            res.setContent("<html>not a picture</html>", "text/html");
        });
        m_server.get(
            "/huge",
            [this](const BL::Server::SHttpRequest&, BL::Server::SHttpResponse& res) {
                ++hits;
                res.setContent(std::string(3 * 1024 * 1024, 'x'), "image/png");
            });
        m_server.get("/slow", [this](const BL::Server::SHttpRequest&, BL::Server::SHttpResponse& res) {
            ++hits;
            // Held until the source goes: the fetch can only end by its own deadline.
            std::unique_lock<std::mutex> lock(m_holdMutex);
            m_hold.wait(lock, [this] { return m_released; });
            res.setContent(picture, "image/png");
        });
        m_port = m_server.bind("127.0.0.1", 0);
        m_thread = std::thread([this] { m_server.run(); });
    }
    ~CPictureSource()
    {
        {
            const std::lock_guard<std::mutex> lock(m_holdMutex);
            m_released = true;
        }
        m_hold.notify_all();
        m_server.stop();
        m_thread.join();
    }
    std::string url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }

    std::string picture;
    std::atomic<int> hits{0};
    std::string lastQuery;

private:
    BL::Server::CHttpServer m_server{BL::Server::SHttpLimits{}};
    std::thread m_thread;
    std::mutex m_holdMutex;
    std::condition_variable m_hold;
    bool m_released = false;
    int m_port = 0;
};

void TestServerApi::urlUploadFetchesFollowsAndLimits()
{
    BL::Server::SServiceOptions options;
    options.allowPrivateFetch = true;
    options.maxUploadBytes = 1024 * 1024;
    options.fetchTimeoutMs = 700;
    // Its many fetches from one address are not what this case is about.
    options.uploadsPerMinute = options.fetchesPerMinute = 1000;
    CTestServer server(options);
    CPictureSource source(makePng(25, 25, 9));
    auto client = server.client();
    const auto post = [&](const std::string& body) {
        return client->post("/api/upload", body, "application/x-www-form-urlencoded");
    };

    // The client's form: the URL unescaped, "&" inside it included, then the code.
    const auto [secret, code] = reserve(*client);
    auto direct = post("url=" + source.url("/img.png?a=1&b=2") + "&code=" + secret);
    QVERIFY(direct);
    QCOMPARE(direct->status, 200);
    QCOMPARE(QString::fromStdString(direct->body),
             QString::fromStdString("{\"status\":\"ok\",\"url\":\"" + server.baseUrl() + "/" + code + "\"}"));
    QCOMPARE(QString::fromStdString(source.lastQuery), QStringLiteral("/img.png?a=1&b=2"));
    QVERIFY(client->get(("/" + code + ".png").c_str())->body == source.picture);

    // The desktop client form-encodes the URL: a "+" in its query must reach the source as "+".
    const auto formEncode = [](const std::string& text) {
        std::string out;
        for (unsigned char c : text) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += std::isalnum(c) ? std::string(1, char(c)) : std::string(hex);
        }
        return out;
    };
    const std::string plusCode = reserveCode(*client);
    auto plus = post("url=" + formEncode(source.url("/img.png?a=1&b=x+y")) + "&code=" + plusCode);
    QVERIFY(plus);
    QCOMPARE(plus->status, 200);
    QCOMPARE(QString::fromStdString(source.lastQuery), QStringLiteral("/img.png?a=1&b=x+y"));

    // A percent-encoded URL works as well, and three redirects are followed.
    auto encoded = post("url=http%3A%2F%2F127.0.0.1%3A" + source.url("").substr(17) + "%2Fhop2");
    QVERIFY(encoded);
    QCOMPARE(encoded->status, 200);
    QVERIFY(client->get(("/" + codeOfUrl(jsonValue(encoded->body, "url")) + ".png").c_str())->body ==
            source.picture);

    struct SCase
    {
        std::string path;
        int status;
        const char* reason;
    };
    const SCase refusals[] = {
        {"/hop3", 200, "too many redirects"},
        {"/text", 200, "not a PNG or JPEG image"},
        {"/huge", 200, "file too large"},
        {"/slow", 200, "fetch timed out"},
    };
    for (const SCase& refusal : refusals) {
        auto res = post("url=" + source.url(refusal.path));
        QVERIFY(res);
        QCOMPARE(res->status, refusal.status);
        QCOMPARE(QString::fromStdString(jsonValue(res->body, "reason")), QString::fromLatin1(refusal.reason));
    }
    // A URL the person typed is refused in words; a form the client never sends is a bad request.
    for (const char* typed : {"url=ftp://127.0.0.1/x.png", "url=not a url"}) {
        auto res = post(typed);
        QVERIFY(res);
        QCOMPARE(res->status, 200);
        QCOMPARE(QString::fromStdString(res->body),
                 QString::fromLatin1(R"({"status":"error","reason":"invalid url"})"));
    }
    for (const char* bad : {"url=", "code=abc"}) {
        auto res = post(bad);
        QVERIFY(res);
        QCOMPARE(res->status, 400);
    }
}

void TestServerApi::urlUploadToLoopbackRefusedByDefault()
{
    CTestServer server;
    CPictureSource source(makePng(8, 8, 10));
    auto client = server.client();
    for (const std::string& url :
         {source.url("/img.png"), std::string("http://[::1]:1/x.png"), std::string("http://10.1.2.3/x.png"),
          std::string("http://169.254.169.254/x")}) {
        auto res = client->post("/api/upload", "url=" + url, "application/x-www-form-urlencoded");
        QVERIFY(res);
        QCOMPARE(res->status, 200);
        QCOMPARE(QString::fromStdString(res->body),
                 QString::fromLatin1(R"({"status":"error","reason":"address not allowed"})"));
    }
    // Redirects are checked hop by hop too: not even the first request may leave.
    QCOMPARE(source.hits.load(), 0);
    QVERIFY(BL::Server::isNonPublicAddress("192.168.1.1"));
    QVERIFY(BL::Server::isNonPublicAddress("::ffff:127.0.0.1"));
    QVERIFY(!BL::Server::isNonPublicAddress("93.184.216.34"));
    QVERIFY(!BL::Server::isNonPublicAddress("2606:2800:220:1:248:1893:25c8:1946"));
    // IPv6 forms that carry an IPv4 address inside, and the old site-local range.
    for (const char* embedded : {"::7f00:1", "::a01:203", "2002:7f00:1::1",
                                 "2002:c0a8:101::", "2001:0:4136:e378::1", "fec0::1", "feff::1"})
        QVERIFY2(BL::Server::isNonPublicAddress(embedded), embedded);

    // Other ports than 80 and 443 are refused before anything is sent.
    auto port = client->post("/api/upload", "url=http://93.184.216.34:8080/x.png",
                             "application/x-www-form-urlencoded");
    QVERIFY(port);
    QCOMPARE(QString::fromStdString(port->body),
             QString::fromLatin1(R"({"status":"error","reason":"port not allowed"})"));
}

QTEST_GUILESS_MAIN(TestServerApi)
#include "tst_api.moc"
