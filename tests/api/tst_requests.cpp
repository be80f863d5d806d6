#include "api/hashloginrequest.h"
#include "api/pixmapuploadrequest.h"
#include "api/reservecoderequest.h"
#include "api/servermanager.h"
#include "api/uploadurlrequest.h"
#include "api/user.h"

#include <QImage>
#include <QNetworkReply>
#include <QPainter>
#include <QRegularExpression>
#include <QUuid>
#include <QtTest>

// What each request puts on the wire, checked without a network: paths, header
// order, and the bodies byte for byte.
class TestRequests : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void kindsAndPaths();
    void hostFollowsEnvironment();
    void headersInOrder();
    void loginBody();
    void pictureUploadFraming_data();
    void pictureUploadFraming();
    void comparisonUploadFraming();
    void multipartFieldsCannotAddParts();
    void urlUploadBody_data();
    void urlUploadBody();
    void urlUploadSendsAnAsciiHost();
    void cutOffRepliesFail_data();
    void cutOffRepliesFail();
};

namespace {

const QByteArray B = "---------------------------dev-brightloom";
const QString kHash = QStringLiteral("0123456789abcdef0123456789abcdef01234567");

QPixmap picture(int width, int height, QColor colour)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(colour);
    QPainter(&image).fillRect(1, 1, width / 2, height / 2, Qt::black);
    return QPixmap::fromImage(image);
}

void signIn()
{
    // Any credential will do; setUserInfo from a login would produce a hash we cannot write down.
    CUser::instance()->signOut();
    QTemporaryDir dir;
    QSettings settings(dir.filePath(QStringLiteral("user.ini")), QSettings::IniFormat);
    settings.setValue(QStringLiteral("user_name"), QStringLiteral("u"));
    settings.setValue(QStringLiteral("user_hash"), kHash);
    QVERIFY(CUser::instance()->load(&settings));
    CUser::instance()->setSignedIn();
}

QList<QByteArray> headerNames(const QNetworkRequest& request)
{
    return request.rawHeaderList();
}

// Cuts the PNG data out of a file part: the bytes between the part's blank line
// and the CRLF that precedes the next boundary line.
QByteArray pngOf(const QByteArray& body, const QByteArray& partName)
{
    const int header = body.indexOf("name=\"" + partName + "\"; filename=");
    if (header < 0)
        return QByteArray();
    const int start = body.indexOf("\r\n\r\n", header) + 4;
    const int end = body.indexOf("\r\n--" + B, start);
    return body.mid(start, end - start);
}

// A finished reply with chosen headers and body, to drive handleReply without a socket.
class CFakeReply : public QNetworkReply
{
public:
    CFakeReply(const QByteArray& body, const QList<QPair<QByteArray, QByteArray>>& headers) : m_body(body)
    {
        for (const auto& header : headers)
            setRawHeader(header.first, header.second);
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, 200);
        open(QIODevice::ReadOnly);
        setFinished(true);
    }
    void abort() override {}
    qint64 bytesAvailable() const override
    {
        return m_body.size() - m_read + QNetworkReply::bytesAvailable();
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 n = qMin(maxSize, qint64(m_body.size()) - m_read);
        memcpy(data, m_body.constData() + m_read, size_t(n));
        m_read += n;
        return n;
    }

private:
    QByteArray m_body;
    qint64 m_read = 0;
};

} // namespace

void TestRequests::init()
{
    qunsetenv("BL_SERVICE_HOST");
    CUser::instance()->signOut();
}

void TestRequests::cleanup()
{
    qunsetenv("BL_SERVICE_HOST");
    CUser::instance()->signOut();
}

void TestRequests::kindsAndPaths()
{
    const QPixmap pix = picture(4, 4, Qt::red);
    CHashLoginRequest login(kHash);
    CReserveCodeRequest reserve;
    CPixmapUploadRequest single(pix, QString());
    CUploadComparisonShotRequest pair(pix, pix, QString());
    CUploadUrlRequest url(QUrl(QStringLiteral("http://example.invalid/a.png")), QString());

    QCOMPARE(login.kind(), 2);
    QCOMPARE(reserve.kind(), 6);
    QCOMPARE(single.kind(), 1);
    QCOMPARE(pair.kind(), 4);
    QCOMPARE(url.kind(), 3);
    QCOMPARE(login.path(), QStringLiteral("/api/check_hash"));
    QCOMPARE(reserve.path(), QStringLiteral("/api/reserve_code"));
    QCOMPARE(single.path(), QStringLiteral("/api/upload.php"));
    QCOMPARE(pair.path(), QStringLiteral("/api/upload.php"));
    QCOMPARE(url.path(), QStringLiteral("/api/upload"));

    static const QRegularExpression uuidForm(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    QVERIFY2(uuidForm.match(login.uuid()).hasMatch(), qPrintable(login.uuid()));
    QVERIFY(login.uuid() != reserve.uuid());
    QCOMPARE(login.uuid(), login.uuid());
}

void TestRequests::hostFollowsEnvironment()
{
    CServerManager* manager = CServerManager::instance();
    QCOMPARE(manager->host(), QStringLiteral(BL_TEST_DEFAULT_HOST));
    QCOMPARE(manager->baseUrl(), QStringLiteral("http://" BL_TEST_DEFAULT_HOST));

    qputenv("BL_SERVICE_HOST", "service.example.test:8080");
    QCOMPARE(manager->host(), QStringLiteral("service.example.test:8080"));
    QCOMPARE(manager->baseUrl(), QStringLiteral("http://service.example.test:8080"));
    CReserveCodeRequest reserve;
    const QNetworkRequest request = reserve.networkRequest();
    QCOMPARE(request.url(), QUrl(QStringLiteral("http://service.example.test:8080/api/reserve_code")));
    QCOMPARE(request.rawHeader("Host"), QByteArray("service.example.test:8080"));

    // Text that would reach into the URL path or the header is refused.
    for (const char* bad : {"evil.test/x?", "a b", "user@host", "host\r\nX-Injected: 1", ":8080", "host:",
                            "host:123456", "host:8o", "[::1", "[]:80", "[::1]x", "[::1]:", "[g::1]"}) {
        qputenv("BL_SERVICE_HOST", bad);
        QCOMPARE(manager->host(), QStringLiteral(BL_TEST_DEFAULT_HOST));
    }
    for (const char* good : {"[::1]:8080", "[::ffff:127.0.0.1]", "127.0.0.1", "my_host-1.test:1"}) {
        qputenv("BL_SERVICE_HOST", good);
        QCOMPARE(manager->host(), QString::fromLatin1(good));
    }
}

void TestRequests::headersInOrder()
{
    const QPixmap pix = picture(8, 8, Qt::green);
    using Names = QList<QByteArray>;
    CHashLoginRequest login(kHash);
    QCOMPARE(headerNames(login.networkRequest()),
             (Names{"Host", "Accept", "Content-Length", "Content-Type"}));
    QCOMPARE(login.networkRequest().rawHeader("Content-Type"),
             QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(login.networkRequest().rawHeader("Accept"), QByteArray("*/*"));
    QCOMPARE(login.networkRequest().rawHeader("Content-Length"), QByteArray("87"));

    CReserveCodeRequest reserve;
    QCOMPARE(headerNames(reserve.networkRequest()),
             (Names{"Host", "Accept", "Content-Length", "Content-Type"}));
    QCOMPARE(reserve.networkRequest().rawHeader("Content-Length"), QByteArray("0"));
    QVERIFY(reserve.body().isEmpty());

    CPixmapUploadRequest single(pix, QStringLiteral("k"));
    QCOMPARE(headerNames(single.networkRequest()), (Names{"Host", "Content-Type", "Content-Length"}));
    QCOMPARE(single.networkRequest().rawHeader("Content-Type"),
             QByteArray("multipart/form-data; boundary=---------------------------dev-brightloom"));
    QCOMPARE(single.networkRequest().rawHeader("Content-Length"), QByteArray::number(single.body().size()));

    CUploadComparisonShotRequest pair(pix, pix, QStringLiteral("k"));
    QCOMPARE(headerNames(pair.networkRequest()), (Names{"Host", "Content-Type", "Content-Length"}));
    QCOMPARE(pair.networkRequest().rawHeader("Content-Type"),
             single.networkRequest().rawHeader("Content-Type"));
    QCOMPARE(pair.networkRequest().rawHeader("Content-Length"), QByteArray::number(pair.body().size()));

    CUploadUrlRequest url(QUrl(QStringLiteral("http://x.test/a.png")), QStringLiteral("k"));
    QCOMPARE(headerNames(url.networkRequest()), (Names{"Host", "Content-Type", "Content-Length"}));
    QCOMPARE(url.networkRequest().rawHeader("Content-Length"), QByteArray::number(url.body().size()));
    QCOMPARE(url.networkRequest().rawHeader("Host"), QByteArray(BL_TEST_DEFAULT_HOST));
}

void TestRequests::loginBody()
{
    CHashLoginRequest first(kHash);
    CHashLoginRequest second(kHash);
    QCOMPARE(first.body(), "hash=" + kHash.toLatin1() + "&uuid=" + first.uuid().toLatin1());
    QCOMPARE(first.body().size(), 87);
    QVERIFY(first.body() != second.body());

    // A tampered hash from the settings cannot add form fields.
    CHashLoginRequest tampered(QStringLiteral("x&uuid=forged"));
    QCOMPARE(tampered.body(), "hash=x%26uuid%3Dforged&uuid=" + tampered.uuid().toLatin1());
}

void TestRequests::pictureUploadFraming_data()
{
    QTest::addColumn<bool>("signedIn");
    QTest::addColumn<QString>("code");
    QTest::newRow("anonymous, no code") << false << QString();
    QTest::newRow("anonymous, code") << false << QStringLiteral("abc");
    QTest::newRow("signed in, no code") << true << QString();
    QTest::newRow("signed in, code") << true << QStringLiteral("abc");
}

void TestRequests::pictureUploadFraming()
{
    QFETCH(bool, signedIn);
    QFETCH(QString, code);
    if (signedIn)
        signIn();
    const QPixmap pix = picture(20, 10, Qt::blue);
    CPixmapUploadRequest request(pix, code);
    const QByteArray body = request.body();

    const QByteArray png = pngOf(body, "upload-file");
    QByteArray expected = "--" + B + "\r\n";
    if (signedIn)
        expected += "Content-Disposition: form-data; name=\"hash\"\r\n\r\n" + kHash.toLatin1() + "\r\n--" +
                    B + "\r\n";
    if (!code.isEmpty())
        expected +=
            "Content-Disposition: form-data; name=\"code\"\r\n\r\n" + code.toUtf8() + "\r\n--" + B + "\r\n";
    expected += "Content-Disposition: form-data; name=\"upload-file\"; filename=\"" +
                request.uuid().toLatin1() + ".png\"\r\nContent-Type: image/png\r\n\r\n" + png + "\r\n--" + B +
                "--\r\n";
    QCOMPARE(body, expected);
    QCOMPARE(request.body(), body); // same file name and bytes however often it is built

    QImage decoded;
    QVERIFY(decoded.loadFromData(png, "PNG"));
    QCOMPARE(decoded.convertToFormat(QImage::Format_ARGB32),
             pix.toImage().convertToFormat(QImage::Format_ARGB32));

    // A null picture still gives a well-formed body, with an empty file part.
    CPixmapUploadRequest empty(QPixmap(), code);
    QVERIFY(empty.body().contains("Content-Type: image/png\r\n\r\n\r\n--" + B + "--\r\n"));
}

void TestRequests::comparisonUploadFraming()
{
    signIn();
    const QPixmap first = picture(10, 10, Qt::red);
    const QPixmap second = picture(7, 5, Qt::yellow);
    CUploadComparisonShotRequest request(first, second, QStringLiteral("K1"));
    const QByteArray body = request.body();
    const QByteArray again = request.body();
    QCOMPARE(again.size(), body.size()); // Content-Length is taken from one call, the post from another

    auto secondName = [](const QByteArray& bytes) {
        const QByteArray marker = "name=\"upload-file2\"; filename=\"";
        const int at = bytes.indexOf(marker);
        return at < 0 ? QString() : QString::fromLatin1(bytes.mid(at + marker.size(), 36));
    };
    const QString name1 = secondName(body);
    const QString name2 = secondName(again);
    QVERIFY(QUuid::fromString(name1) != QUuid());
    QVERIFY(body.contains(name1.toLatin1() + ".png\"\r\n"));
    QVERIFY(!name1.isEmpty());
    QVERIFY(name1 != request.uuid());
    QVERIFY(name1 != name2);

    const QByteArray png1 = pngOf(body, "upload-file");
    const QByteArray png2 = pngOf(body, "upload-file2");
    const QByteArray expected =
        "--" + B + "\r\nContent-Disposition: form-data; name=\"hash\"\r\n\r\n" + kHash.toLatin1() + "\r\n--" +
        B + "\r\nContent-Disposition: form-data; name=\"code\"\r\n\r\nK1\r\n--" + B +
        "\r\nContent-Disposition: form-data; name=\"upload-file\"; filename=\"" + request.uuid().toLatin1() +
        ".png\"\r\nContent-Type: image/png\r\n\r\n" + png1 + "\r\n--" + B +
        "\r\nContent-Disposition: form-data; name=\"upload-file2\"; filename=\"" + name1.toLatin1() +
        ".png\"\r\nContent-Type: image/png\r\n\r\n" + png2 + "\r\n--" + B + "--\r\n";
    QCOMPARE(body, expected);
    QCOMPARE(QImage::fromData(png1, "PNG").size(), QSize(10, 10));
    QCOMPARE(QImage::fromData(png2, "PNG").size(), QSize(7, 5));
    QCOMPARE(QImage::fromData(png2, "PNG").convertToFormat(QImage::Format_ARGB32),
             second.toImage().convertToFormat(QImage::Format_ARGB32));
}

void TestRequests::multipartFieldsCannotAddParts()
{
    // A code that carries line breaks and a boundary must stay inside its field.
    const QString code = QStringLiteral("abc\r\n--") + QString::fromLatin1(B) +
                         QStringLiteral("\r\nContent-Disposition: form-data; name=\"hash\"\r\n\r\nforged");
    CPixmapUploadRequest request(picture(2, 2, Qt::red), code);
    const QByteArray body = request.body();
    QCOMPARE(body.count("\r\nContent-Disposition"), 2);
    QCOMPARE(body.count("\r\n--" + B), 2);
    QVERIFY(body.contains("\r\n\r\nabc--" + B + "Content-Disposition: form-data; name=\"hash\"forged\r\n--" +
                          B + "\r\n"));
}

void TestRequests::urlUploadBody_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("signedIn");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("plain, anonymous") << QStringLiteral("http://img.test/a.png") << false << QString()
                                      << QByteArray("url=http%3A%2F%2Fimg.test%2Fa.png");
    QTest::newRow("signed in with code")
        << QStringLiteral("http://img.test/a.png") << true << QStringLiteral("abc")
        << QByteArray("url=http%3A%2F%2Fimg.test%2Fa.png&hash=" + kHash.toLatin1() + "&code=abc");
    QTest::newRow("field forgery and special characters")
        << QStringLiteral("http://img.test/p?a=1&code=evil&hash=x+y%25z") << false << QStringLiteral("k&=")
        << QByteArray(
               "url=http%3A%2F%2Fimg.test%2Fp%3Fa%3D1%26code%3Devil%26hash%3Dx%2By%2525z&code=k%26%3D");
    QTest::newRow("non-latin text as utf-8")
        << QStringLiteral(u"http://img.test/\u732b.png") << false << QString()
        << QByteArray("url=http%3A%2F%2Fimg.test%2F%E7%8C%AB.png");
}

void TestRequests::urlUploadBody()
{
    QFETCH(QString, url);
    QFETCH(bool, signedIn);
    QFETCH(QString, code);
    QFETCH(QByteArray, expected);
    if (signedIn)
        signIn();
    CUploadUrlRequest request(QUrl(url), code);
    QCOMPARE(request.body(), expected);
    // Round trip: the service's form decoding gives back the URL text exactly.
    const QString firstValue =
        QString::fromLatin1(expected.mid(4, expected.indexOf('&') < 0 ? -1 : expected.indexOf('&') - 4));
    QCOMPARE(QUrl::fromPercentEncoding(firstValue.toLatin1()), QUrl(url).toString());
    QCOMPARE(request.networkRequest().rawHeader("Content-Length"), QByteArray::number(expected.size()));
}

void TestRequests::urlUploadSendsAnAsciiHost()
{
    // The service cannot resolve a Unicode host name; path and query stay as they were typed.
    CUploadUrlRequest request(QUrl(QStringLiteral(u"http://b\u00fccher.de:8080/\u732b.png?q=a+b")),
                              QString());
    QCOMPARE(request.body(),
             QByteArray("url=http%3A%2F%2Fxn--bcher-kva.de%3A8080%2F%E7%8C%AB.png%3Fq%3Da%2Bb"));
}

void TestRequests::cutOffRepliesFail_data()
{
    QTest::addColumn<QByteArray>("length");
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<bool>("whole");
    QTest::newRow("length matches") << QByteArray("25") << QByteArray() << true;
    QTest::newRow("no length") << QByteArray() << QByteArray() << true;
    QTest::newRow("cut short") << QByteArray("100") << QByteArray() << false;
    // Qt decodes compressed bodies, so their declared length is not comparable.
    QTest::newRow("compressed") << QByteArray("10") << QByteArray("gzip") << true;
}

void TestRequests::cutOffRepliesFail()
{
    QFETCH(QByteArray, length);
    QFETCH(QByteArray, encoding);
    QFETCH(bool, whole);
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!length.isEmpty())
        headers.append({"Content-Length", length});
    if (!encoding.isEmpty())
        headers.append({"Content-Encoding", encoding});
    const QByteArray body = R"({"status":"ok","url":"u"})";
    QCOMPARE(body.size(), 25);

    CPixmapUploadRequest upload(picture(2, 2, Qt::red), QString());
    QSignalSpy ok(&upload, &CPixmapUploadRequest::uploadedOk);
    QSignalSpy failed(&upload, &CPixmapUploadRequest::uploadingFailed);
    CFakeReply uploadReply(body, headers);
    upload.handleReply(&uploadReply);
    QCOMPARE(ok.count(), whole ? 1 : 0);
    QCOMPARE(failed.count(), whole ? 0 : 1);
    if (!whole)
        QVERIFY(
            failed.at(0).at(0).toString().startsWith(QStringLiteral("Uploading failed.\nNetwork error #%1: ")
                                                         .arg(QNetworkReply::RemoteHostClosedError)));

    CHashLoginRequest login(kHash);
    QSignalSpy signedIn(&login, &CHashLoginRequest::signInOk);
    CFakeReply loginReply(R"({"exists":"true"})", headers);
    login.handleReply(&loginReply);
    // The 17-byte login reply is short of every declared length above.
    const bool loginWhole = length.isEmpty() || !encoding.isEmpty();
    QCOMPARE(signedIn.count(), loginWhole ? 1 : 0);
}

QTEST_MAIN(TestRequests)
#include "tst_requests.moc"
