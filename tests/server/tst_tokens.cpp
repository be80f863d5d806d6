// Uploads from any program: tokens made and revoked on the history page, the plain upload endpoint
// that takes them, the custom-uploader file the page offers and the deletion link it hands out.

#include "server/util.h"
#include "server_test_support.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrl>
#include <QtTest>

using namespace BL::Test;

namespace {

const char publicUrl[] = "https://shots.example.test";
const char boundary[] = "tokenboundary7f3a";
const std::string form = "application/x-www-form-urlencoded";

std::string fileBody(const std::string& field, const std::string& bytes)
{
    return std::string("--") + boundary + "\r\nContent-Disposition: form-data; name=\"" + field +
           "\"; filename=\"shot.png\"\r\nContent-Type: image/png\r\n\r\n" + bytes + "\r\n--" + boundary +
           "--\r\n";
}

std::string fileType()
{
    return std::string("multipart/form-data; boundary=") + boundary;
}

QJsonObject jsonOf(const std::string& body)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(body)).object();
}

std::string localPath(const QString& url)
{
    return url.startsWith(QLatin1String(publicUrl)) ? url.mid(int(sizeof publicUrl) - 1).toStdString()
                                                    : std::string("/not-ours");
}

// A signed-in account: its session cookie and the form cookie and token of its history page.
struct SAccount
{
    std::string session;
    std::string cookies;
    std::string csrf;
};

SAccount signUp(CHttpClient& client, const std::string& email)
{
    const std::string fields = "email=" + email + "&password=secret-" + email;
    if (submitForm(client, "/signup", fields)->status != 200)
        return {};
    auto signIn = submitForm(client, "/user/history", fields);
    SAccount account;
    account.session = signIn->header("Set-Cookie").substr(0, signIn->header("Set-Cookie").find(';'));
    const SWebForm page = loadForm(client, "/user/history", account.session);
    account.cookies = account.session + (page.cookie.empty() ? "" : "; " + page.cookie);
    account.csrf = page.token;
    return account;
}

BL::Server::SServiceOptions withPublicUrl()
{
    BL::Server::SServiceOptions options;
    options.publicUrl = publicUrl;
    return options;
}

} // namespace

class TestServerTokens : public QObject
{
    Q_OBJECT

private slots:
    void tokenUploadsAndItsLinkDeletes();
    void refusalsSayWhyAndStoreNothing();
};

void TestServerTokens::tokenUploadsAndItsLinkDeletes()
{
    CTestServer server(withPublicUrl());
    auto client = server.client();
    const SAccount ann = signUp(*client, "ann%40example.org");
    QVERIFY(!ann.csrf.empty());
    QVERIFY(client->get("/user/history", {{"Cookie", ann.session}})->body.find("Make a token") !=
            std::string::npos);

    // Made on the history page: shown once, with a custom-uploader file to download.
    auto made = client->post("/user/tokens", {{"Cookie", ann.cookies}},
                             "name=My+laptop+%231+100%25&csrf=" + ann.csrf, form);
    QCOMPARE(made->status, 200);
    const QString page = QString::fromStdString(made->body);
    QVERIFY(page.indexOf(QStringLiteral("<script")) < 0);
    const auto shown =
        QRegularExpression(QStringLiteral("<code class=\"token\">(blt_[0-9a-f]{48})</code>")).match(page);
    QVERIFY2(shown.hasMatch(), made->body.c_str());
    const std::string token = shown.captured(1).toStdString();
    const auto link =
        QRegularExpression(QStringLiteral("href=\"data:application/json;charset=utf-8,([^\"]+)\" "
                                          "download=\"My-laptop--1-100-.sxcu\""))
            .match(page);
    QVERIFY(link.hasMatch());
    const QJsonObject file =
        jsonOf(QUrl::fromPercentEncoding(
                   link.captured(1).replace(QStringLiteral("&amp;"), QStringLiteral("&")).toUtf8())
                   .toStdString());
    QCOMPARE(file.value("Name").toString(), QStringLiteral("My laptop #1 100%"));
    QCOMPARE(file.value("RequestMethod").toString(), QStringLiteral("POST"));
    QCOMPARE(file.value("RequestURL").toString(), QString(publicUrl) + "/api/pictures");
    QCOMPARE(file.value("Body").toString(), QStringLiteral("MultipartFormData"));
    QCOMPARE(file.value("FileFormName").toString(), QStringLiteral("file"));
    QCOMPARE(file.value("Headers").toObject().value("Authorization").toString().toStdString(),
             "Bearer " + token);
    QCOMPARE(file.value("URL").toString(), QStringLiteral("{json:url}"));
    QCOMPARE(file.value("ThumbnailURL").toString(), QStringLiteral("{json:thumbnail_url}"));
    QCOMPARE(file.value("DeletionURL").toString(), QStringLiteral("{json:deletion_url}"));
    QCOMPARE(file.value("ErrorMessage").toString(), QStringLiteral("{json:error}"));
    // Listed from now on, never shown again; the database holds only its keyed hash.
    const std::string history = client->get("/user/history", {{"Cookie", ann.session}})->body;
    QVERIFY(history.find("My laptop #1 100%") != std::string::npos);
    QVERIFY(history.find("never used") != std::string::npos);
    QVERIFY(history.find(token) == std::string::npos);
    // The write-ahead log included: that is where a fresh row is.
    const QStringList files =
        QDir(server.dataDir()).entryList({QStringLiteral("brightloom.db*")}, QDir::Files);
    QVERIFY(files.contains(QStringLiteral("brightloom.db-wal")));
    for (const QString& name : files) {
        QFile database(server.dataDir() + "/" + name);
        QVERIFY(database.open(QIODevice::ReadOnly));
        QVERIFY2(!database.readAll().contains(QByteArray::fromStdString(token)), qPrintable(name));
    }

    // What the file describes works: the picture is stored under the account, byte for byte.
    const std::string picture = makePng(640, 360, 11);
    auto uploaded =
        client->post(file.value("RequestURL").toString().mid(int(sizeof publicUrl) - 1).toStdString(),
                     {{"Authorization", "Bearer " + token}}, fileBody("file", picture), fileType());
    QCOMPARE(uploaded->status, 200);
    const QJsonObject reply = jsonOf(uploaded->body);
    const QString url = reply.value("url").toString();
    QVERIFY2(url.startsWith(QString(publicUrl) + "/"), uploaded->body.c_str());
    const std::string code = localPath(url).substr(1);
    QCOMPARE(reply.value("thumbnail_url").toString(), url + "-thumb.png");
    QVERIFY(client->get(localPath(url) + ".png")->body == picture);
    QVERIFY(waitForPreviews(*client, code));
    QCOMPARE(client->get(localPath(reply.value("thumbnail_url").toString()))->status, 200);
    const std::string listed = client->get("/user/history", {{"Cookie", ann.session}})->body;
    QVERIFY(listed.find("href=\"/" + code + "\"") != std::string::npos);
    QVERIFY(listed.find("last used") != std::string::npos);

    // The deletion link asks first (an unfurler or a prefetch opening it deletes nothing) ...
    const std::string deletion = localPath(reply.value("deletion_url").toString());
    QVERIFY(deletion.rfind("/delete/", 0) == 0);
    auto asked = client->get(deletion);
    QCOMPARE(asked->status, 200);
    QVERIFY(asked->body.find("<form method=\"post\" action=\"" + deletion + "\"") != std::string::npos);
    QVERIFY(asked->body.find("Delete " + code) != std::string::npos);
    QCOMPARE(client->get("/" + code)->status, 200);
    // ... and its button deletes: files gone, the link's page answers 410, the link a second time too.
    QCOMPARE(client->post(deletion, std::string(), form)->status, 200);
    QCOMPARE(client->get("/" + code)->status, 410);
    QCOMPARE(client->get("/" + code + ".png")->status, 410);
    QVERIFY(QDir(server.dataDir() + "/pictures").entryList(QDir::Files).isEmpty());
    QCOMPARE(client->post(deletion, std::string(), form)->status, 410);
    QCOMPARE(client->get("/delete/NoSuchSecret")->status, 404);

    // Revoked on the history page, the token uploads no more.
    const std::string id = QRegularExpression(QStringLiteral("name=\"id\" value=\"([0-9]+)\""))
                               .match(QString::fromStdString(listed))
                               .captured(1)
                               .toStdString();
    QVERIFY(!id.empty());
    auto revoked = client->post("/user/tokens/revoke", {{"Cookie", ann.cookies}},
                                "id=" + id + "&csrf=" + ann.csrf, form);
    QCOMPARE(revoked->status, 303);
    auto refused = client->post("/api/pictures", {{"Authorization", "Bearer " + token}},
                                fileBody("file", picture), fileType());
    QCOMPARE(refused->status, 401);
    QCOMPARE(jsonOf(refused->body).value("error").toString(),
             QStringLiteral("unknown or revoked upload token"));
    QVERIFY(client->get("/user/history", {{"Cookie", ann.session}})->body.find("My laptop") ==
            std::string::npos);
}

void TestServerTokens::refusalsSayWhyAndStoreNothing()
{
    BL::Server::SServiceOptions options = withPublicUrl();
    options.maxUploadBytes = 200 * 1024;
    CTestServer server(options);
    auto client = server.client();
    const SAccount bob = signUp(*client, "bob%40example.org");
    const SAccount eve = signUp(*client, "eve%40example.org");
    // A token form from elsewhere (no form token) makes nothing.
    QCOMPARE(client->post("/user/tokens", {{"Cookie", bob.session}}, "name=x", form)->status, 403);
    QVERIFY(client->get("/user/history", {{"Cookie", bob.session}})->body.find("Revoke") ==
            std::string::npos);
    auto made = client->post("/user/tokens", {{"Cookie", bob.cookies}}, "csrf=" + bob.csrf, form);
    const std::string token = QRegularExpression(QStringLiteral("(blt_[0-9a-f]{48})"))
                                  .match(QString::fromStdString(made->body))
                                  .captured(1)
                                  .toStdString();
    QVERIFY(!token.empty());
    QVERIFY(made->body.find("Upload token") != std::string::npos); // the name of a token left unnamed
    // Another account cannot revoke it.
    const std::string id =
        QRegularExpression(QStringLiteral("name=\"id\" value=\"([0-9]+)\""))
            .match(QString::fromStdString(client->get("/user/history", {{"Cookie", bob.session}})->body))
            .captured(1)
            .toStdString();
    QCOMPARE(
        client->post("/user/tokens/revoke", {{"Cookie", eve.cookies}}, "id=" + id + "&csrf=" + eve.csrf, form)
            ->status,
        404);

    const std::string picture = makePng(64, 48, 3);
    const auto upload = [&](const SHeaders& headers, const std::string& body, const std::string& type) {
        auto res = client->post("/api/pictures", headers, body, type);
        return std::make_pair(res ? res->status : 0,
                              res ? jsonOf(res->body).value("error").toString().toStdString()
                                  : std::string());
    };
    const SHeaders bearer{{"Authorization", "Bearer " + token}};
    using Refusal = std::pair<int, std::string>;
    QCOMPARE(upload({}, fileBody("file", picture), fileType()), Refusal(401, "an upload token is needed"));
    QCOMPARE(upload({{"Authorization", "Basic " + token}}, fileBody("file", picture), fileType()),
             Refusal(401, "an upload token is needed"));
    QCOMPARE(upload({{"Authorization", "Bearer blt_0123"}}, fileBody("file", picture), fileType()),
             Refusal(401, "unknown or revoked upload token"));
    QCOMPARE(upload(bearer, fileBody("upload-file", picture), fileType()),
             Refusal(400, "expected the picture as the multipart field \"file\""));
    QCOMPARE(upload(bearer, "file=abc", form),
             Refusal(400, "expected the picture as the multipart field \"file\""));
    QCOMPARE(upload(bearer, fileBody("file", "GIF89a not ours"), fileType()),
             Refusal(400, "not a PNG or JPEG image"));
    QCOMPARE(upload(bearer, fileBody("file", makePng(600, 600, 4)), fileType()),
             Refusal(413, "file too large"));
    auto unauthorised = client->post("/api/pictures", fileBody("file", picture), fileType());
    QCOMPARE(unauthorised->header("WWW-Authenticate"), std::string("Bearer"));
    QVERIFY(QDir(server.dataDir() + "/pictures").entryList(QDir::Files).isEmpty());
    // And the token still works after all that.
    QCOMPARE(upload(bearer, fileBody("file", picture), fileType()).first, 200);
    QCOMPARE(QDir(server.dataDir() + "/pictures").entryList(QDir::Files).size(), 1);
}

QTEST_GUILESS_MAIN(TestServerTokens)
#include "tst_tokens.moc"
