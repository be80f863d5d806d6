// The pages in a real browser: Debian's headless Chromium renders them from the service on
// 127.0.0.1 at a phone's width and a desktop's, and the test measures what it laid out, compares
// what it painted with the pictures, and fills in the forms from the keyboard.

#include "headless_browser.h"
#include "server/util.h"
#include "server_test_support.h"

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

using namespace BL::Test;

namespace {

// What the page laid out: the root's width and scrolling width, the right edge of the element
// that reaches furthest, the scripts it has, and each picture's content box with its sizes.
const char measure[] = R"((() => {
  const root = document.documentElement;
  let rightmost = 0;
  for (const e of document.body.querySelectorAll('*')) {
    const r = e.getBoundingClientRect();
    if (r.width > 0 && r.height > 0) rightmost = Math.max(rightmost, r.right);
  }
  return JSON.stringify({
    width: root.clientWidth, scrollWidth: root.scrollWidth, rightmost: rightmost,
    scripts: document.scripts.length, title: document.title,
    images: [...document.querySelectorAll('figure img')].map(i => {
      const r = i.getBoundingClientRect();
      return {src: i.getAttribute('src'), natural: i.naturalWidth, naturalHeight: i.naturalHeight,
              x: r.left + i.clientLeft, y: r.top + i.clientTop, width: i.clientWidth, height: i.clientHeight,
              cssWidth: Number(i.getAttribute('width')), cssHeight: Number(i.getAttribute('height'))};
    })});
})())";

// What has the focus: its tag, type or name, and text.
const char focused[] = R"((() => {
  const e = document.activeElement;
  return e ? [e.tagName.toLowerCase(), e.getAttribute('name') || e.getAttribute('type') || '',
              e.textContent.trim()].join(' ').trim() : '';
})())";

const int widths[] = {390, 1280};

QImage imageOf(const std::string& bytes)
{
    return QImage::fromData(reinterpret_cast<const uchar*>(bytes.data()), static_cast<int>(bytes.size()))
        .convertToFormat(QImage::Format_RGB32);
}

// Black text on white in lines, as a screen grab of a document: blurred by any scaling.
std::string textShot(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if ((y / 3) % 4 == 0 && ((x * 7 + y * 13) % 11 < 5))
                image.setPixel(x, y, qRgb(0, 0, 0));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

std::string uploadShot(CHttpClient& client, const std::string& picture, const std::string* second = nullptr,
                       const std::string& scale = {})
{
    std::string body = clientMultipart(std::string(), std::string(), picture, second);
    if (!scale.empty())
        body = withField(body, "scale", scale);
    return codeOfUrl(jsonValue(client.post("/api/upload.php", body, clientMultipartType())->body, "url"));
}

} // namespace

class TestServerBrowser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void picturesShowAtTheirOwnSizeWhereTheyFit_data();
    void picturesShowAtTheirOwnSizeWhereTheyFit();
    void everyPageFitsBothWidths();
    void formsWorkFromTheKeyboard_data();
    void formsWorkFromTheKeyboard();
    void cleanup();

private:
    QJsonObject layoutOf(const std::string& url);

    std::unique_ptr<CHeadlessBrowser> m_browser;
};

void TestServerBrowser::initTestCase()
{
    if (!QFile::exists(QString::fromLatin1(CHeadlessBrowser::binary)))
        QSKIP("no /usr/bin/chromium (Debian package chromium)");
    m_browser = std::make_unique<CHeadlessBrowser>();
    QVERIFY2(m_browser->error().isEmpty(), qPrintable(m_browser->error()));
}

void TestServerBrowser::cleanup()
{
    BL::Server::setClockOffsetMs(0);
}

QJsonObject TestServerBrowser::layoutOf(const std::string& url)
{
    if (!m_browser->navigate(url))
        return {};
    return QJsonDocument::fromJson(m_browser->evaluate(QString::fromLatin1(measure)).toString().toUtf8())
        .object();
}

void TestServerBrowser::picturesShowAtTheirOwnSizeWhereTheyFit_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QList<QSize>>("pictures");
    QTest::addColumn<QString>("scale");
    // Whether each picture fits the window at its own size.
    QTest::addColumn<QList<bool>>("fits");
    for (const int width : widths) {
        const bool wide = width > 1000;
        QTest::addRow("one, %d", width)
            << width << QList<QSize>{{801, 601}} << QString() << QList<bool>{wide};
        // Wider than a column of text, narrower than the window: its own size still.
        QTest::addRow("wider than a column, %d", width)
            << width << QList<QSize>{{1100, 500}} << QString() << QList<bool>{wide};
        QTest::addRow("larger than the window, %d", width)
            << width << QList<QSize>{{1600, 500}} << QString() << QList<bool>{false};
        QTest::addRow("pair, %d", width)
            << width << QList<QSize>{{500, 300}, {400, 360}} << QString() << QList<bool>{wide, wide};
        // Taken at twice the pixels: half as many CSS pixels.
        QTest::addRow("scaled screen, %d", width)
            << width << QList<QSize>{{1000, 500}} << QStringLiteral("2") << QList<bool>{wide};
        QTest::addRow("small, %d", width)
            << width << QList<QSize>{{200, 100}} << QString() << QList<bool>{true};
    }
}

void TestServerBrowser::picturesShowAtTheirOwnSizeWhereTheyFit()
{
    QFETCH(int, width);
    QFETCH(QList<QSize>, pictures);
    QFETCH(QString, scale);
    QFETCH(QList<bool>, fits);
    CTestServer server;
    auto client = server.client();
    std::vector<std::string> shots;
    for (const QSize& size : pictures)
        shots.push_back(textShot(size.width(), size.height()));
    const std::string code =
        uploadShot(*client, shots[0], shots.size() > 1 ? &shots[1] : nullptr, scale.toStdString());
    QVERIFY(!code.empty());
    const double ratio = scale.isEmpty() ? 1 : scale.toDouble();
    // A scaled screen's picture is looked at on a scaled screen.
    QVERIFY(m_browser->setViewport(width, 1000, ratio));
    const QJsonObject layout = layoutOf(server.baseUrl() + "/" + code);
    QVERIFY(!layout.isEmpty());
    QCOMPARE(layout.value("scripts").toInt(), 0);
    const int viewport = layout.value("width").toInt();
    QVERIFY2(layout.value("scrollWidth").toInt() <= viewport, "the page scrolls sideways");
    const QJsonArray images = layout.value("images").toArray();
    QCOMPARE(images.size(), pictures.size());
    const QImage painted = m_browser->screenshot();
    QVERIFY(!painted.isNull());
    for (int i = 0; i < images.size(); ++i) {
        const QJsonObject image = images[i].toObject();
        const double cssWidth = pictures[i].width() / ratio;
        const double cssHeight = pictures[i].height() / ratio;
        QCOMPARE(image.value("natural").toInt(), pictures[i].width());
        const double shown = image.value("width").toDouble();
        const double left = image.value("x").toDouble();
        // Always whole, in the window, in its proportions.
        QVERIFY2(left >= 0 && left + shown <= viewport, qPrintable(QString::number(left + shown)));
        QVERIFY(std::abs(image.value("height").toDouble() / shown - cssHeight / cssWidth) < 0.01);
        if (!fits[i]) {
            QVERIFY2(shown < cssWidth, qPrintable(QString::number(shown)));
            continue;
        }
        QCOMPARE(shown, cssWidth);
        // One picture pixel per device pixel: what was painted is the picture, pixel for pixel,
        // where the layout put it give or take the device pixel it snapped to.
        const QRect box(qRound(left * ratio), qRound(image.value("y").toDouble() * ratio),
                        pictures[i].width(), pictures[i].height());
        const QImage expected = imageOf(shots[static_cast<std::size_t>(i)]);
        bool exact = false;
        for (int dy = -1; dy <= 1 && !exact; ++dy)
            for (int dx = -1; dx <= 1 && !exact; ++dx)
                exact =
                    painted.copy(box.translated(dx, dy)).convertToFormat(QImage::Format_RGB32) == expected;
        QVERIFY2(exact, qPrintable(QStringLiteral("picture %1 is not painted pixel for pixel").arg(i + 1)));
    }
    if (pictures.size() == 2 && fits[0] && fits[1]) {
        // Side by side when both fit, the first on the left.
        const QJsonObject first = images[0].toObject();
        const QJsonObject second = images[1].toObject();
        QCOMPARE(first.value("y").toDouble(), second.value("y").toDouble());
        QVERIFY(first.value("x").toDouble() + first.value("width").toDouble() < second.value("x").toDouble());
    }
}

void TestServerBrowser::everyPageFitsBothWidths()
{
    BL::Server::SServiceOptions options;
    options.purgeIntervalMs = 3600 * 1000;
    CTestServer server(options);
    auto client = server.client();
    QCOMPARE(submitForm(*client, "/signup", "email=wide%40example.org&password=wide-secret")->status, 200);
    auto signIn = submitForm(*client, "/user/history", "email=wide%40example.org&password=wide-secret");
    const std::string session =
        signIn->header("Set-Cookie").substr(0, signIn->header("Set-Cookie").find(';'));
    const std::string hash = BL::Server::sha1Hex("wide@example.orgwide-secret");
    const std::string pair = makePng(700, 400, 2);
    const std::string pairCode = uploadShot(*client, makePng(900, 500, 1), &pair);
    QVERIFY(postUpload(*client, hash, std::string(), makePng(1400, 300, 3)));
    const SReserved removed = reserve(*client);
    QCOMPARE(jsonValue(postUpload(*client, hash, removed.secret, makePng(40, 40, 4))->body, "status"),
             std::string("ok"));
    QCOMPARE(
        client->post("/api/delete", "code=" + removed.secret, "application/x-www-form-urlencoded")->status,
        200);
    auto hour = client->post("/api/reserve_code", "expires=3600", "application/x-www-form-urlencoded");
    const std::string expiring = jsonValue(hour->body, "code");
    const std::string expiredCode = codeOfUrl(jsonValue(hour->body, "url"));
    QCOMPARE(jsonValue(postUpload(*client, hash, expiring, makePng(40, 40, 5))->body, "status"),
             std::string("ok"));
    std::string newest;
    for (int i = 0; i < 3; ++i)
        newest = codeOfUrl(
            jsonValue(postUpload(*client, hash, std::string(), makePng(330, 200, 10 + i))->body, "url"));
    // The history as a person sees it a moment later: every thumbnail made (they are made in turn).
    QVERIFY(waitForPreviews(*client, newest));

    const std::vector<std::pair<std::string, std::string>> pages = {
        {"/" + pairCode, "Comparison " + pairCode},
        {"/" + removed.code, "Removed"},
        {"/" + expiredCode, "Expired"},
        {"/signup", "Sign up"},
        {"/user/history", "Sign in"},
        {"/user/history?signed-in", "Your uploads"},
    };
    // The browser gets the session only for the history it is meant to show.
    for (const int width : widths) {
        QVERIFY(m_browser->setViewport(width, 900));
        for (const auto& [path, title] : pages) {
            const bool signedIn = path.find("signed-in") != std::string::npos;
            if (signedIn)
                QVERIFY(
                    m_browser->evaluate("document.cookie = '" + QString::fromStdString(session) + "; path=/'")
                        .isString());
            if (title == "Expired")
                BL::Server::setClockOffsetMs(3600 * 1000 + 1000);
            const QJsonObject layout = layoutOf(server.baseUrl() + path);
            BL::Server::setClockOffsetMs(0);
            if (signedIn)
                QVERIFY(m_browser->evaluate("document.cookie = 'bl_session=; max-age=0; path=/'").isString());
            const QString where = QStringLiteral("%1 at %2").arg(QString::fromStdString(path)).arg(width);
            QVERIFY2(layout.value("title").toString().startsWith(QString::fromStdString(title)),
                     qPrintable(where));
            QCOMPARE(layout.value("scripts").toInt(), 0);
            QVERIFY2(layout.value("scrollWidth").toInt() <= layout.value("width").toInt(), qPrintable(where));
            QVERIFY2(layout.value("rightmost").toDouble() <= layout.value("width").toInt() + 0.5,
                     qPrintable(where));
        }
    }
}

void TestServerBrowser::formsWorkFromTheKeyboard_data()
{
    QTest::addColumn<int>("width");
    for (const int width : widths)
        QTest::addRow("%d", width) << width;
}

void TestServerBrowser::formsWorkFromTheKeyboard()
{
    QFETCH(int, width);
    CTestServer server;
    auto client = server.client();
    QVERIFY(m_browser->setViewport(width, 900));
    const std::string email = "keys" + std::to_string(width) + "@example.org";
    const auto focus = [&] { return m_browser->evaluate(QString::fromLatin1(focused)).toString(); };
    const auto tabTo = [&](const QString& expected) {
        for (int presses = 0; presses < 12; ++presses) {
            if (!m_browser->press(QStringLiteral("Tab")))
                return false;
            if (focus() == expected)
                return true;
        }
        return false;
    };

    // Sign up: every field in order, typed into, sent with Enter on the button.
    QVERIFY(m_browser->navigate(server.baseUrl() + "/signup"));
    QVERIFY(tabTo("input email"));
    QVERIFY(m_browser->type(QString::fromStdString(email)));
    QVERIFY(m_browser->press(QStringLiteral("Tab")));
    QCOMPARE(focus(), QStringLiteral("input password"));
    QVERIFY(m_browser->type(QStringLiteral("typed-secret")));
    QVERIFY(m_browser->press(QStringLiteral("Tab")));
    QCOMPARE(focus(), QStringLiteral("input password2"));
    QVERIFY(m_browser->type(QStringLiteral("typed-secret")));
    QVERIFY(m_browser->press(QStringLiteral("Tab")));
    QCOMPARE(focus(), QStringLiteral("button submit Sign up"));
    QVERIFY(m_browser->press(QStringLiteral("Enter")));
    QVERIFY(m_browser->waitForLoad());
    QCOMPARE(m_browser->evaluate("document.title").toString(), QStringLiteral("Welcome - Brightloom"));

    // Sign in: Enter in the password field sends the form.
    const std::string hash = BL::Server::sha1Hex(email + "typed-secret");
    const std::string code =
        codeOfUrl(jsonValue(postUpload(*client, hash, std::string(), makePng(50, 40, 1))->body, "url"));
    QVERIFY(m_browser->navigate(server.baseUrl() + "/user/history"));
    QVERIFY(tabTo("input email"));
    QVERIFY(m_browser->type(QString::fromStdString(email)));
    QVERIFY(tabTo("input password"));
    QVERIFY(m_browser->type(QStringLiteral("typed-secret")));
    QVERIFY(m_browser->press(QStringLiteral("Enter")));
    QVERIFY(m_browser->waitForLoad());
    QCOMPARE(m_browser->evaluate("document.title").toString(), QStringLiteral("Your uploads - Brightloom"));

    // The history: a delete button reached by Tab and pressed with the space bar.
    QVERIFY(tabTo(QStringLiteral("button submit Delete ") + QString::fromStdString(code)));
    QVERIFY(m_browser->press(QStringLiteral(" ")));
    QVERIFY(m_browser->waitForLoad());
    QCOMPARE(client->get("/" + code)->status, 410);
    QVERIFY(
        !m_browser->evaluate("document.body.textContent").toString().contains(QString::fromStdString(code)));
    // And signing out.
    QVERIFY(tabTo(QStringLiteral("button submit Sign out")));
    QVERIFY(m_browser->press(QStringLiteral("Enter")));
    QVERIFY(m_browser->waitForLoad());
    QCOMPARE(m_browser->evaluate("document.title").toString(), QStringLiteral("Sign in - Brightloom"));
}

QTEST_GUILESS_MAIN(TestServerBrowser)
#include "tst_browser.moc"
