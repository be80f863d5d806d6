// Taking shares back over real HTTP: the uploader deletes with its secret, the signed-in owner
// from the history page; the files go, the link answers 410, and the code stays taken.

#include "server/store.h"
#include "server/util.h"
#include "server_test_support.h"

#include <QDir>
#include <QtTest>

using namespace BL::Test;

namespace {

const char form[] = "application/x-www-form-urlencoded";

QStringList pictureFiles(const CTestServer& server)
{
    return QDir(server.dataDir() + "/pictures").entryList(QDir::Files);
}

constexpr std::int64_t hourMs = 3600 * 1000;
constexpr std::int64_t dayMs = 24 * hourMs;

// A reservation that asks to keep its pictures `expires` (a form value) seconds.
CResult reserveFor(CHttpClient& client, const std::string& expires)
{
    return client.post("/api/reserve_code", "expires=" + expires, form);
}

SReserved reservedOf(const CResult& res)
{
    return {jsonValue(res->body, "code"), codeOfUrl(jsonValue(res->body, "url"))};
}

CResult deleteShare(CHttpClient& client, const std::string& secret)
{
    return client.post("/api/delete", "code=" + secret, form);
}

std::string sessionOf(const SReply& signIn)
{
    const std::string cookie = signIn.header("Set-Cookie");
    return cookie.substr(0, cookie.find(';'));
}

// Signs up and in; the session cookie ("bl_session=...").
std::string signedIn(CHttpClient& client, const std::string& email, const std::string& password)
{
    const std::string fields = "email=" + email + "&password=" + password;
    if (submitForm(client, "/signup", fields)->status != 200)
        return {};
    auto signIn = submitForm(client, "/user/history", fields);
    return signIn && signIn->status == 303 ? sessionOf(*signIn) : std::string();
}

} // namespace

class TestServerShares : public QObject
{
    Q_OBJECT

private slots:
    void uploaderDeletesWithItsSecret();
    void deletingAPendingCodeEndsItBeforeItsUpload();
    void ownerDeletesFromTheHistoryPage();
    void picturesGoWhenTheirTimeRunsOut();
    void maxExpiryCapsWhatTheClientAsks();
    void cleanup();
};

void TestServerShares::cleanup()
{
    BL::Server::setClockOffsetMs(0);
}

void TestServerShares::uploaderDeletesWithItsSecret()
{
    const std::string png = makePng(120, 90, 1);
    BL::Server::SServiceOptions options;
    // Room for one picture: the second upload fits only once the first is deleted.
    options.diskQuotaBytes = png.size() + png.size() / 2;
    CTestServer server(options);
    auto client = server.client();
    const SReserved shared = reserve(*client);
    QCOMPARE(jsonValue(postUpload(*client, std::string(), shared.secret, png)->body, "status"),
             std::string("ok"));
    QCOMPARE(pictureFiles(server).size(), 1);
    const SReserved refused = reserve(*client);
    QCOMPARE(
        jsonValue(postUpload(*client, std::string(), refused.secret, makePng(120, 90, 2))->body, "reason"),
        std::string("the service has no room for more pictures"));

    // What cannot be deleted is refused in words the desktop client shows, never with a 5xx.
    const auto refusal = [](const std::string& reason) {
        return R"({"status":"error","reason":")" + reason + "\"}";
    };
    const std::vector<std::pair<std::string, std::string>> refusals = {
        {"code=" + shared.code, refusal("unknown code")}, // the public code is no secret
        {"code=" + std::string(24, 'x'), refusal("unknown code")},
        {"code=not%20a%20code!", refusal("unknown code")},
        {"code=" + refused.secret, refusal("code ended by a failed upload")},
    };
    for (const auto& [body, expected] : refusals) {
        auto res = client->post("/api/delete", body, form);
        QVERIFY(res);
        QCOMPARE(res->status, 200);
        QCOMPARE(res->body, expected);
    }
    auto missing = client->post("/api/delete", "hash=x", form);
    QCOMPARE(missing->status, 400);
    QCOMPARE(missing->body, refusal("missing code"));
    QCOMPARE(pictureFiles(server).size(), 1);
    QCOMPARE(client->get("/" + shared.code + ".png")->body, png);

    auto deleted = deleteShare(*client, shared.secret);
    QVERIFY(deleted);
    QCOMPARE(deleted->status, 200);
    QCOMPARE(QString::fromStdString(deleted->header("Content-Type")), QStringLiteral("application/json"));
    QCOMPARE(deleted->body, std::string(R"({"status":"ok"})"));

    // The link says what happened; the picture is gone from the store and from its URL.
    QVERIFY(pictureFiles(server).isEmpty());
    auto page = client->get("/" + shared.code);
    QCOMPARE(page->status, 410);
    QVERIFY(page->body.find("This picture was removed.") != std::string::npos);
    QVERIFY(page->body.find(".png") == std::string::npos);
    auto picture = client->get("/" + shared.code + ".png");
    QCOMPARE(picture->status, 410);
    QVERIFY(picture->body.find(png.substr(0, 16)) == std::string::npos);
    QCOMPARE(deleteShare(*client, shared.secret)->body, refusal("code already deleted"));
    QCOMPARE(postUpload(*client, std::string(), shared.secret, png)->body, refusal("code deleted"));
    QVERIFY(pictureFiles(server).isEmpty());

    // Its bytes went back to the quota.
    QCOMPARE(jsonValue(postUpload(*client, std::string(), reserve(*client).secret, png)->body, "status"),
             std::string("ok"));

    // The row stays when expired rows are purged, so the link keeps saying so and its code is
    // never handed out again.
    server.service().store().purgeExpired(BL::Server::nowMs() + 10LL * 365 * 24 * 3600 * 1000);
    QCOMPARE(client->get("/" + shared.code)->status, 410);
    QCOMPARE(client->get("/" + refused.code)->status, 404);
}

void TestServerShares::deletingAPendingCodeEndsItBeforeItsUpload()
{
    // The link is on the clipboard before the upload ends: taken back then, nothing may show.
    CTestServer server;
    auto client = server.client();
    const SReserved pending = reserve(*client);
    QVERIFY(client->get("/" + pending.code)->body.find("Upload in progress") != std::string::npos);
    QCOMPARE(deleteShare(*client, pending.secret)->body, std::string(R"({"status":"ok"})"));
    QCOMPARE(client->get("/" + pending.code)->status, 410);
    auto late = postUpload(*client, std::string(), pending.secret, makePng(20, 20, 3));
    QCOMPARE(jsonValue(late->body, "reason"), std::string("code deleted"));
    QVERIFY(pictureFiles(server).isEmpty());
    QCOMPARE(client->get("/" + pending.code + ".png")->status, 410);
    server.service().store().purgeExpired(BL::Server::nowMs() + 10LL * 365 * 24 * 3600 * 1000);
    QCOMPARE(client->get("/" + pending.code)->status, 410);
}

void TestServerShares::ownerDeletesFromTheHistoryPage()
{
    CTestServer server;
    auto client = server.client();
    const std::string ann = signedIn(*client, "ann@example.org", "ann-secret");
    const std::string bob = signedIn(*client, "bob@example.org", "bob-secret");
    QVERIFY(!ann.empty() && !bob.empty());
    const std::string annHash = BL::Server::sha1Hex("ann@example.organn-secret");
    std::vector<std::string> codes;
    for (unsigned seed : {4u, 5u})
        codes.push_back(
            codeOfUrl(jsonValue(postUpload(*client, annHash, "", makePng(30, 30, seed))->body, "url")));
    const std::string& doomed = codes[0];

    // The history page has a delete form per upload, with the page's token.
    const auto historyOf = [&](const std::string& session) {
        return client->get("/user/history", {{"Cookie", session}})->body;
    };
    const std::string page = historyOf(ann);
    for (const std::string& code : codes)
        QVERIFY(page.find("name=\"code\" value=\"" + code + "\"") != std::string::npos);
    QVERIFY(page.find("action=\"/user/delete\"") != std::string::npos);

    const auto postDelete = [&](const std::string& session, bool withToken) {
        const SWebForm form = loadForm(*client, "/user/history", session);
        const std::string cookies = session + (form.cookie.empty() ? "" : "; " + form.cookie);
        return client->post("/user/delete", {{"Cookie", cookies}},
                            "code=" + doomed + (withToken ? "&csrf=" + form.token : std::string()),
                            "application/x-www-form-urlencoded");
    };
    // Another account, a post without its token, nobody signed in: the picture stays.
    QCOMPARE(postDelete(bob, true)->status, 404);
    QCOMPARE(postDelete(ann, false)->status, 403);
    auto anonymous = postDelete(std::string(), true);
    QCOMPARE(anonymous->status, 303);
    QCOMPARE(client->get("/" + doomed + ".png")->status, 200);
    QCOMPARE(pictureFiles(server).size(), 2);

    auto done = postDelete(ann, true);
    QCOMPARE(done->status, 303);
    QCOMPARE(QString::fromStdString(done->header("Location")), QStringLiteral("/user/history"));
    QCOMPARE(client->get("/" + doomed)->status, 410);
    QCOMPARE(client->get("/" + codes[1] + ".png")->status, 200);
    QCOMPARE(pictureFiles(server).size(), 1);
    const std::string after = historyOf(ann);
    QVERIFY(after.find(doomed) == std::string::npos);
    QVERIFY(after.find(codes[1]) != std::string::npos);
    QCOMPARE(postDelete(ann, true)->status, 404);
}

void TestServerShares::picturesGoWhenTheirTimeRunsOut()
{
    BL::Server::SServiceOptions options;
    options.purgeIntervalMs = 20;
    CTestServer server(options);
    auto client = server.client();
    const std::string session = signedIn(*client, "kim@example.org", "kim-secret");
    const std::string hash = BL::Server::sha1Hex("kim@example.orgkim-secret");

    // Asked for, the time kept is echoed; not asked for, the reply is the one it always was.
    auto hour = reserveFor(*client, "3600");
    QVERIFY(hour);
    QCOMPARE(jsonValue(hour->body, "expires"), std::string("3600"));
    QVERIFY(hour->body.rfind("{\"status\":\"ok\",\"code\":\"", 0) == 0);
    auto never = reserveFor(*client, "0");
    QCOMPARE(jsonValue(never->body, "expires"), std::string("0"));
    auto plain = client->post("/api/reserve_code", "", form);
    QVERIFY(plain->body.find("expires") == std::string::npos);
    for (const char* bad : {"soon", "-5", "", "1e3", "99999999999"}) {
        auto res = reserveFor(*client, bad);
        QCOMPARE(res->status, 200);
        QCOMPARE(res->body, std::string(R"({"status":"error","reason":"bad expiry"})"));
    }

    const SReserved hourly = reservedOf(hour);
    const SReserved forGood = reservedOf(never);
    for (const SReserved& reserved : {hourly, forGood, reservedOf(plain)})
        QCOMPARE(jsonValue(postUpload(*client, hash, reserved.secret, makePng(40, 30, 7))->body, "status"),
                 std::string("ok"));
    QCOMPARE(pictureFiles(server).size(), 3);
    auto page = client->get("/" + hourly.code);
    QCOMPARE(page->status, 200);
    QVERIFY(page->body.find(" &middot; expires ") != std::string::npos);
    QVERIFY(client->get("/" + forGood.code)->body.find("expires") == std::string::npos);
    QVERIFY(client->get("/user/history", {{"Cookie", session}})->body.find(hourly.code) != std::string::npos);
    // No cache may keep the picture past its end; one kept for good may be kept for good.
    const std::string cache = client->get("/" + hourly.code + ".png")->header("Cache-Control");
    QVERIFY2(cache.rfind("public, max-age=", 0) == 0 && std::stoll(cache.substr(16)) <= 3600 &&
                 std::stoll(cache.substr(16)) > 3500,
             cache.c_str());
    QCOMPARE(client->get("/" + forGood.code + ".png")->header("Cache-Control"),
             std::string("public, max-age=31536000, immutable"));

    // Past the hour the link says so at once, before the purge has run.
    BL::Server::setClockOffsetMs(hourMs + 1000);
    auto expired = client->get("/" + hourly.code);
    QCOMPARE(expired->status, 410);
    QVERIFY(expired->body.find("This picture has expired.") != std::string::npos);
    QCOMPARE(client->get("/" + hourly.code + ".png")->status, 410);
    QCOMPARE(deleteShare(*client, hourly.secret)->body,
             std::string(R"({"status":"error","reason":"picture expired"})"));
    QVERIFY(client->get("/user/history", {{"Cookie", session}})->body.find(hourly.code) == std::string::npos);
    // The purge takes its file away; the others stay.
    QTRY_COMPARE_WITH_TIMEOUT(pictureFiles(server).size(), 2, 10000);
    QCOMPARE(client->get("/" + hourly.code)->status, 410);

    // Ten years on, a purge that took a later share's minute-long pictures left those kept for good.
    BL::Server::setClockOffsetMs(10 * 365 * dayMs);
    const SReserved minute = reservedOf(reserveFor(*client, "60"));
    QCOMPARE(jsonValue(postUpload(*client, hash, minute.secret, makePng(40, 30, 8))->body, "status"),
             std::string("ok"));
    QCOMPARE(pictureFiles(server).size(), 3);
    BL::Server::setClockOffsetMs(10 * 365 * dayMs + 2 * 60 * 1000);
    QTRY_COMPARE_WITH_TIMEOUT(pictureFiles(server).size(), 2, 10000);
    QCOMPARE(client->get("/" + minute.code)->status, 410);
    QCOMPARE(client->get("/" + forGood.code + ".png")->status, 200);
}

void TestServerShares::maxExpiryCapsWhatTheClientAsks()
{
    BL::Server::SServiceOptions options;
    options.maxKeepMs = dayMs;
    options.purgeIntervalMs = 20;
    CTestServer server(options);
    auto client = server.client();
    // Never, a week and nothing asked are all capped at the day; a minute stays a minute.
    std::vector<SReserved> capped;
    for (const char* asked : {"0", "604800"}) {
        auto res = reserveFor(*client, asked);
        QCOMPARE(jsonValue(res->body, "expires"), std::string("86400"));
        capped.push_back(reservedOf(res));
    }
    capped.push_back(reserve(*client));
    auto minute = reserveFor(*client, "60");
    QCOMPARE(jsonValue(minute->body, "expires"), std::string("60"));
    const SReserved shortLived = reservedOf(minute);
    for (const SReserved& reserved : capped)
        QCOMPARE(jsonValue(postUpload(*client, std::string(), reserved.secret, makePng(10, 10, 9))->body,
                           "status"),
                 std::string("ok"));
    QCOMPARE(
        jsonValue(postUpload(*client, std::string(), shortLived.secret, makePng(10, 10, 9))->body, "status"),
        std::string("ok"));
    // An upload without a reservation is capped too.
    capped.push_back(
        {std::string(),
         codeOfUrl(jsonValue(postUpload(*client, std::string(), "", makePng(10, 10, 9))->body, "url"))});

    BL::Server::setClockOffsetMs(dayMs - 60 * 1000);
    QCOMPARE(client->get("/" + shortLived.code)->status, 410);
    for (const SReserved& reserved : capped)
        QCOMPARE(client->get("/" + reserved.code + ".png")->status, 200);
    QTRY_COMPARE_WITH_TIMEOUT(pictureFiles(server).size(), 4, 10000);
    BL::Server::setClockOffsetMs(dayMs + 60 * 1000);
    for (const SReserved& reserved : capped)
        QCOMPARE(client->get("/" + reserved.code)->status, 410);
    QTRY_VERIFY_WITH_TIMEOUT(pictureFiles(server).isEmpty(), 10000);
}

QTEST_GUILESS_MAIN(TestServerShares)
#include "tst_shares.moc"
