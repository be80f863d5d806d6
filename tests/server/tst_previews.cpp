// Links that preview in chat: the picture page as an unfurler fetches it (Open Graph and Twitter
// tags with absolute addresses, oEmbed), and the previews made at upload (thumbnails, the side by
// side of a comparison).

#include "server/util.h"
#include "server_test_support.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

using namespace BL::Test;

namespace {

const char publicUrl[] = "https://shots.example.test";
// What a chat's unfurler sends: a bot's name and no cookies.
const SHeaders unfurler{{"User-Agent", "Slackbot-LinkExpanding 1.0 (+https://api.slack.com/robots)"}};

// One colour, written by Qt as `format` from pixels of `pixels`: PNGs of other kinds than RGB.
std::string solid(int width, int height, QColor color, const char* format = "PNG",
                  QImage::Format pixels = QImage::Format_ARGB32)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(color);
    image = image.convertToFormat(pixels);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes.toStdString();
}

QImage decoded(const std::string& bytes)
{
    return QImage::fromData(reinterpret_cast<const uchar*>(bytes.data()), static_cast<int>(bytes.size()));
}

// The content of <meta property|name="NAME" content="...">, HTML entities of "&" undone.
std::string meta(const std::string& html, const std::string& name)
{
    const QRegularExpression tag(QStringLiteral("<meta (?:property|name)=\"%1\" content=\"([^\"]*)\">")
                                     .arg(QRegularExpression::escape(QString::fromStdString(name))));
    const auto match = tag.match(QString::fromStdString(html));
    return match.hasMatch()
               ? match.captured(1).replace(QStringLiteral("&amp;"), QStringLiteral("&")).toStdString()
               : std::string();
}

// The path of an absolute address under publicUrl, to fetch it from the test's server.
std::string localPath(const std::string& url)
{
    return url.rfind(publicUrl, 0) == 0 ? url.substr(sizeof publicUrl - 1) : std::string("/not-ours");
}

std::string uploaded(CHttpClient& client, const std::string& picture, const std::string* second = nullptr)
{
    return codeOfUrl(
        jsonValue(postUpload(client, std::string(), std::string(), picture, second)->body, "url"));
}

BL::Server::SServiceOptions withPublicUrl()
{
    BL::Server::SServiceOptions options;
    options.publicUrl = publicUrl;
    return options;
}

} // namespace

class TestServerPreviews : public QObject
{
    Q_OBJECT

private slots:
    void unfurlerFindsTheExactPicture_data();
    void unfurlerFindsTheExactPicture();
    void oembedKeepsToItsBounds();
    void comparisonPreviewsSideBySide_data();
    void comparisonPreviewsSideBySide();
    void thumbnailsAreMadeAtUploadListedAndDeleted();
    void scaledScreenShowsPerDevicePixel();
    void deletionAheadOfPreviewsLeavesNoFile();
};

// Previews are made after the reply: an uploader who takes the picture back at once must not leave
// a thumbnail behind, whichever of the two comes first.
void TestServerPreviews::deletionAheadOfPreviewsLeavesNoFile()
{
    CTestServer server;
    auto client = server.client();
    const QDir pictures(server.dataDir() + "/pictures");
    const std::string large = solid(1600, 900, Qt::darkGreen);
    const std::string second = solid(900, 700, Qt::blue);
    for (int round = 0; round < 12; ++round) {
        const SReserved reserved = reserve(*client);
        // Half of the rounds a comparison, whose side by side is a second preview file.
        auto stored =
            postUpload(*client, std::string(), reserved.secret, large, round % 2 ? &second : nullptr);
        QCOMPARE(jsonValue(stored->body, "status"), std::string("ok"));
        QCOMPARE(
            client->post("/api/delete", "code=" + reserved.secret, "application/x-www-form-urlencoded")->body,
            std::string(R"({"status":"ok"})"));
        QCOMPARE(client->get("/" + reserved.code + "-thumb.png")->status, 410);
    }
    // Previews are made in order: once a later upload has its thumbnail, every deleted one's turn
    // has come and gone.
    const std::string kept = uploaded(*client, large);
    QVERIFY(waitForPreviews(*client, kept));
    QCOMPARE(pictures.entryList(QDir::Files).size(), 2);
}

void TestServerPreviews::scaledScreenShowsPerDevicePixel()
{
    CTestServer server(withPublicUrl());
    auto client = server.client();
    const auto upload = [&](const std::string& scale, const std::string& secret) {
        return client->post(
            "/api/upload.php",
            withField(clientMultipart(std::string(), secret, solid(1000, 600, Qt::gray)), "scale", scale),
            clientMultipartType());
    };
    // Taken at 1.5 device pixels per CSS pixel: shown at two thirds, previewed at its pixels.
    const std::string code = codeOfUrl(jsonValue(upload("1.5", std::string())->body, "url"));
    QVERIFY(waitForPreviews(*client, code));
    const std::string html = client->get("/" + code)->body;
    QVERIFY2(html.find("<img src=\"/" + code + ".png\" width=\"667\" height=\"400\"") != std::string::npos,
             html.c_str());
    QCOMPARE(meta(html, "og:image:width"), std::string("1000"));
    // What is no ratio is refused in words and ends the code, as every refused upload does.
    for (const char* bad : {"0.5", "5", "2,5", "1.255", "two", ""}) {
        const SReserved reserved = reserve(*client);
        auto refused = upload(bad, reserved.secret);
        QCOMPARE(refused->status, 200);
        QCOMPARE(refused->body, std::string(R"({"status":"error","reason":"bad scale"})"));
        QVERIFY(client->get("/" + reserved.code)->body.find("Upload failed") != std::string::npos);
    }
    QCOMPARE(QDir(server.dataDir() + "/pictures").entryList(QDir::Files).size(), 2);
}

void TestServerPreviews::unfurlerFindsTheExactPicture_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("mime");
    QTest::addColumn<QString>("extension");
    QTest::newRow("png") << "PNG"
                         << "image/png"
                         << ".png";
    QTest::newRow("jpeg") << "JPG"
                          << "image/jpeg"
                          << ".jpg";
}

void TestServerPreviews::unfurlerFindsTheExactPicture()
{
    QFETCH(QString, format);
    QFETCH(QString, mime);
    QFETCH(QString, extension);
    CTestServer server(withPublicUrl());
    auto client = server.client();
    const std::string picture = solid(801, 601, Qt::darkCyan, qPrintable(format));
    const std::string code = uploaded(*client, picture);
    QVERIFY(!code.empty());

    auto page = client->get("/" + code, unfurler);
    QVERIFY(page);
    QCOMPARE(page->status, 200);
    const std::string& html = page->body;
    const std::string image = meta(html, "og:image");
    QCOMPARE(image, publicUrl + ("/" + code) + extension.toStdString());
    QCOMPARE(meta(html, "og:image:type"), mime.toStdString());
    QCOMPARE(meta(html, "og:image:width"), std::string("801"));
    QCOMPARE(meta(html, "og:image:height"), std::string("601"));
    QCOMPARE(meta(html, "og:url"), publicUrl + ("/" + code));
    QCOMPARE(meta(html, "og:title"), "Picture " + code);
    QCOMPARE(meta(html, "twitter:card"), std::string("summary_large_image"));
    QCOMPARE(meta(html, "twitter:image"), image);
    // The address is the picture itself, byte for byte.
    auto fetched = client->get(localPath(image), unfurler);
    QCOMPARE(fetched->status, 200);
    QCOMPARE(QString::fromStdString(fetched->header("Content-Type")), mime);
    QVERIFY(fetched->body == picture);
    // Still a page without scripts.
    QVERIFY(html.find("<script") == std::string::npos);

    // oEmbed, found by its discovery link, names the same picture and size.
    const QRegularExpression discovery(
        QStringLiteral("<link rel=\"alternate\" type=\"application/json\\+oembed\" href=\"([^\"]+)\""));
    const auto link = discovery.match(QString::fromStdString(html));
    QVERIFY(link.hasMatch());
    const std::string oembed =
        link.captured(1).replace(QStringLiteral("&amp;"), QStringLiteral("&")).toStdString();
    QCOMPARE(oembed, std::string(publicUrl) + "/oembed?url=https%3A%2F%2Fshots.example.test%2F" + code +
                         "&format=json");
    auto described = client->get(localPath(oembed), unfurler);
    QCOMPARE(described->status, 200);
    QCOMPARE(QString::fromStdString(described->header("Content-Type")), QStringLiteral("application/json"));
    QJsonParseError error;
    const QJsonObject json =
        QJsonDocument::fromJson(QByteArray::fromStdString(described->body), &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, described->body.c_str());
    QCOMPARE(json.value("version").toString(), QStringLiteral("1.0"));
    QCOMPARE(json.value("type").toString(), QStringLiteral("photo"));
    QCOMPARE(json.value("url").toString().toStdString(), image);
    QCOMPARE(json.value("width").toInt(), 801);
    QCOMPARE(json.value("height").toInt(), 601);
    QCOMPARE(json.value("provider_url").toString(), QString::fromLatin1(publicUrl));
}

void TestServerPreviews::oembedKeepsToItsBounds()
{
    CTestServer server(withPublicUrl());
    auto client = server.client();
    const std::string code = uploaded(*client, solid(800, 600, Qt::red));
    QVERIFY(waitForPreviews(*client, code));
    const std::string describe = "/oembed?format=json&url=https%3A%2F%2Fshots.example.test%2F" + code;
    const auto field = [&](const std::string& query, const char* key) {
        return QJsonDocument::fromJson(QByteArray::fromStdString(client->get(describe + query)->body))
            .object()
            .value(key);
    };
    // Too large for the consumer: the thumbnail stands in; smaller still, nothing fits.
    QCOMPARE(field("&maxwidth=400", "url").toString().toStdString(), publicUrl + ("/" + code) + "-thumb.png");
    QCOMPARE(field("&maxwidth=400", "width").toInt(), 320);
    QCOMPARE(field("&maxwidth=400", "height").toInt(), 240);
    QCOMPARE(field("&maxwidth=800&maxheight=600", "width").toInt(), 800);
    QCOMPARE(client->get(describe + "&maxheight=100")->status, 404);
    // Another format, another site's page, a code never uploaded: refused, never a 5xx.
    QCOMPARE(client->get("/oembed?format=xml&url=https%3A%2F%2Fshots.example.test%2F" + code)->status, 501);
    QCOMPARE(client->get("/oembed?url=https%3A%2F%2Felsewhere.example%2F" + code)->status, 404);
    QCOMPARE(client->get("/oembed?url=https%3A%2F%2Fshots.example.test%2FNoSuchCode")->status, 404);
    QCOMPARE(client->get("/oembed")->status, 404);
    const SReserved pending = reserve(*client);
    QCOMPARE(client->get("/oembed?url=https%3A%2F%2Fshots.example.test%2F" + pending.code)->status, 404);
    QCOMPARE(
        client->post("/api/delete", "code=" + pending.secret, "application/x-www-form-urlencoded")->status,
        200);
    QCOMPARE(client->get("/oembed?url=https%3A%2F%2Fshots.example.test%2F" + pending.code)->status, 410);
}

void TestServerPreviews::comparisonPreviewsSideBySide_data()
{
    QTest::addColumn<QSize>("left");
    QTest::addColumn<QSize>("right");
    QTest::addColumn<QSize>("preview");
    QTest::addColumn<int>("leftWidth");
    // The lower picture's height; the taller one narrowed to it.
    QTest::newRow("different heights") << QSize(400, 300) << QSize(200, 600) << QSize(516, 300) << 400;
    // Too wide together: both narrowed to fit 1200 pixels with the gap.
    QTest::newRow("too wide") << QSize(1000, 500) << QSize(1000, 500) << QSize(1200, 296) << 592;
    // Taller than a chat shows: both at 630 pixels.
    QTest::newRow("too tall") << QSize(300, 900) << QSize(300, 1000) << QSize(210 + 16 + 189, 630) << 210;
}

void TestServerPreviews::comparisonPreviewsSideBySide()
{
    QFETCH(QSize, left);
    QFETCH(QSize, right);
    QFETCH(QSize, preview);
    QFETCH(int, leftWidth);
    CTestServer server(withPublicUrl());
    auto client = server.client();
    const std::string second = solid(right.width(), right.height(), Qt::blue);
    const std::string code = uploaded(*client, solid(left.width(), left.height(), Qt::red), &second);
    QVERIFY(waitForPreviews(*client, code));
    const std::string html = client->get("/" + code, unfurler)->body;
    const std::string image = meta(html, "og:image");
    QCOMPARE(image, publicUrl + ("/" + code) + "-pair.png");
    QCOMPARE(meta(html, "og:image:width"), std::to_string(preview.width()));
    QCOMPARE(meta(html, "og:image:height"), std::to_string(preview.height()));
    QCOMPARE(meta(html, "og:title"), "Comparison " + code);

    const QImage pair = decoded(client->get(localPath(image))->body);
    QCOMPARE(pair.size(), preview);
    const int middle = preview.height() / 2;
    QCOMPARE(QColor(pair.pixel(leftWidth / 2, middle)), QColor(Qt::red));
    QCOMPARE(QColor(pair.pixel(leftWidth + 8, middle)), QColor(Qt::white));
    QCOMPARE(QColor(pair.pixel(preview.width() - 2, middle)), QColor(Qt::blue));
    const QJsonObject json =
        QJsonDocument::fromJson(
            QByteArray::fromStdString(
                client->get("/oembed?url=https%3A%2F%2Fshots.example.test%2F" + code)->body))
            .object();
    QCOMPARE(json.value("url").toString().toStdString(), image);
    QCOMPARE(json.value("width").toInt(), preview.width());
    // The thumbnail shows the same side by side.
    const QImage thumbnail = decoded(client->get("/" + code + "-thumb.png")->body);
    QCOMPARE(std::max(thumbnail.width(), thumbnail.height()), 320);
    QCOMPARE(QColor(thumbnail.pixel(2, thumbnail.height() / 2)), QColor(Qt::red));
    QCOMPARE(QColor(thumbnail.pixel(thumbnail.width() - 2, thumbnail.height() / 2)), QColor(Qt::blue));
}

void TestServerPreviews::thumbnailsAreMadeAtUploadListedAndDeleted()
{
    CTestServer server;
    auto client = server.client();
    QCOMPARE(submitForm(*client, "/signup", "email=tom@example.org&password=tom-secret")->status, 200);
    auto signIn = submitForm(*client, "/user/history", "email=tom@example.org&password=tom-secret");
    const std::string session =
        signIn->header("Set-Cookie").substr(0, signIn->header("Set-Cookie").find(';'));
    const std::string hash = BL::Server::sha1Hex("tom@example.orgtom-secret");
    struct SCase
    {
        std::string picture;
        QSize thumbnail;
        QColor color;
        QString mime = QStringLiteral("image/png");
    };
    QImage stripes(640, 480, QImage::Format_RGB32);
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x)
            stripes.setPixel(x, y, x % 2 ? qRgb(200, 0, 0) : qRgb(0, 0, 200));
    QByteArray stripesPng;
    QBuffer buffer(&stripesPng);
    buffer.open(QIODevice::WriteOnly);
    stripes.save(&buffer, "PNG");
    const std::vector<SCase> cases = {
        {solid(1000, 500, Qt::green), {320, 160}, Qt::green},
        {solid(300, 2000, Qt::yellow), {48, 320}, Qt::yellow},
        {solid(100, 50, Qt::magenta), {100, 50}, Qt::magenta}, // never enlarged
        {solid(120, 90, Qt::darkBlue, "JPG"), {120, 90}, Qt::darkBlue, QStringLiteral("image/jpeg")},
        {solid(640, 480, Qt::transparent), {320, 240}, Qt::white}, // transparency over white
        {solid(640, 480, Qt::cyan, "JPG"), {320, 240}, Qt::cyan},
        // Each thumbnail pixel is the mean of the pixels it covers, not one of them.
        {stripesPng.toStdString(), {320, 240}, QColor(100, 0, 100)},
        // Grey, a palette, 16 bits with transparency: all to the same RGB.
        {solid(800, 400, QColor(128, 128, 128), "PNG", QImage::Format_Grayscale8),
         {320, 160},
         QColor(128, 128, 128)},
        {solid(800, 400, QColor(255, 128, 0), "PNG", QImage::Format_Indexed8),
         {320, 160},
         QColor(255, 128, 0)},
        {solid(800, 400, QColor(255, 0, 0, 128), "PNG", QImage::Format_RGBA64),
         {320, 160},
         QColor(255, 127, 127)},
    };
    std::vector<std::string> codes;
    for (const SCase& c : cases) {
        const std::string code =
            codeOfUrl(jsonValue(postUpload(*client, hash, std::string(), c.picture)->body, "url"));
        codes.push_back(code);
        QVERIFY(waitForPreviews(*client, code));
        auto res = client->get("/" + code + "-thumb.png");
        QCOMPARE(res->status, 200);
        QCOMPARE(QString::fromStdString(res->header("Content-Type")), c.mime);
        const QImage thumbnail = decoded(res->body);
        QCOMPARE(thumbnail.size(), c.thumbnail);
        const QColor middle(thumbnail.pixel(thumbnail.width() / 2, thumbnail.height() / 2));
        QVERIFY2(std::abs(middle.red() - c.color.red()) <= 4 &&
                     std::abs(middle.green() - c.color.green()) <= 4 &&
                     std::abs(middle.blue() - c.color.blue()) <= 4,
                 qPrintable(middle.name() + " for " + c.color.name()));
    }
    // The history page shows each upload's thumbnail at its size.
    const std::string history = client->get("/user/history", {{"Cookie", session}})->body;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const std::string img = "<img src=\"/" + codes[i] + "-thumb.png\" width=\"" +
                                std::to_string(cases[i].thumbnail.width()) + "\" height=\"" +
                                std::to_string(cases[i].thumbnail.height()) + "\"";
        QVERIFY2(history.find(img) != std::string::npos, img.c_str());
    }
    // A picture that fits the thumbnail's bounds is its own thumbnail: no second file.
    QCOMPARE(cases[2].thumbnail, QSize(100, 50));
    QVERIFY(client->get("/" + codes[2] + "-thumb.png")->body == cases[2].picture);
    const QDir pictures(server.dataDir() + "/pictures");
    int files = 0;
    for (const SCase& c : cases)
        files += decoded(c.picture).size() == c.thumbnail ? 1 : 2;
    QCOMPARE(pictures.entryList(QDir::Files).size(), files);
    // A deletion takes the thumbnail with the picture.
    const SReserved reserved = reserve(*client);
    QCOMPARE(jsonValue(postUpload(*client, hash, reserved.secret, cases[0].picture)->body, "status"),
             std::string("ok"));
    QVERIFY(waitForPreviews(*client, reserved.code));
    QCOMPARE(pictures.entryList(QDir::Files).size(), files + 2);
    QCOMPARE(
        client->post("/api/delete", "code=" + reserved.secret, "application/x-www-form-urlencoded")->body,
        std::string(R"({"status":"ok"})"));
    QCOMPARE(pictures.entryList(QDir::Files).size(), files);
    QCOMPARE(client->get("/" + reserved.code + "-thumb.png")->status, 410);
    // So does a deletion of a picture that is its own thumbnail, from the history page.
    const SWebForm form = loadForm(*client, "/user/history", session);
    auto deleted =
        client->post("/user/delete", {{"Cookie", session + "; " + form.cookie}},
                     "code=" + codes[2] + "&csrf=" + form.token, "application/x-www-form-urlencoded");
    QCOMPARE(deleted->status, 303);
    QCOMPARE(pictures.entryList(QDir::Files).size(), files - 1);
}

QTEST_GUILESS_MAIN(TestServerPreviews)
#include "tst_previews.moc"
