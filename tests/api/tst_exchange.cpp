#include "api/hashloginrequest.h"
#include "api/pixmapuploadrequest.h"
#include "api/reservecoderequest.h"
#include "api/servermanager.h"
#include "api/uploadurlrequest.h"
#include "api/user.h"
#include "testhttpserver.h"

#include <QImage>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

// The client against a real socket on 127.0.0.1: what arrives on the wire, and
// what each kind of reply turns into. Every request must end in exactly one
// signal; a request the manager has deleted can emit nothing more, so "one
// signal seen and the request gone" proves it.
class TestExchange : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void loginOnTheWire();
    void loginReplies_data();
    void loginReplies();
    void reservationOnTheWire();
    void reservationReplies_data();
    void reservationReplies();
    void uploadsOnTheWire();
    void uploadReplies_data();
    void uploadReplies();
    void repliesInReverseOrderReachTheirRequests();
    void senderPropertiesVisibleThenRequestDeleted();
    void transportFailuresGiveOneSignal_data();
    void transportFailuresGiveOneSignal();
    void anyReplyBytesGiveOneSignal_data();
    void anyReplyBytesGiveOneSignal();

private:
    std::unique_ptr<CTestHttpServer> m_server;
};

namespace {

const int kWait = 15000;
const QString kMismatch =
    QStringLiteral("Login failed: username or password doesn't match.\nPlease try again.");
const QString kReserveError = QStringLiteral("Error occured while requesting a reserve code");
const QString kUnexpected =
    QStringLiteral("Uploading failed.\nThe server sent a reply that could not be understood.");

QPixmap picture()
{
    QImage image(16, 9, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    return QPixmap::fromImage(image);
}

enum EUpload { Pixmap, Comparison, Url };

CHttpRequest* makeUpload(int kind)
{
    switch (kind) {
    case Pixmap:
        return new CPixmapUploadRequest(picture(), QStringLiteral("c1"));
    case Comparison:
        return new CUploadComparisonShotRequest(picture(), picture(), QStringLiteral("c1"));
    default:
        return new CUploadUrlRequest(QUrl(QStringLiteral("http://img.test/a.png")), QStringLiteral("c1"));
    }
}

// The signals of whichever request this is, as (name, first argument) pairs.
struct SOutcomeSpy
{
    explicit SOutcomeSpy(CHttpRequest* request) : request(request)
    {
        auto record = [this](const char* name) {
            return [this, name](const QString& text = QString()) {
                seen.append({QString::fromLatin1(name), text});
            };
        };
        if (auto* r = qobject_cast<CHashLoginRequest*>(request)) {
            QObject::connect(r, &CHashLoginRequest::signInOk, &context, [f = record("signInOk")] { f(); });
            QObject::connect(r, &CHashLoginRequest::signInFailed, &context, record("signInFailed"));
        } else if (auto* r = qobject_cast<CReserveCodeRequest*>(request)) {
            QObject::connect(r, &CReserveCodeRequest::codeReserved, &context,
                             [this](const QString& code, const QString& url) {
                                 seen.append({QStringLiteral("codeReserved"), code + QLatin1Char('|') + url});
                             });
            QObject::connect(r, &CReserveCodeRequest::errorOccured, &context, record("errorOccured"));
        } else if (auto* r = qobject_cast<CPixmapUploadRequest*>(request)) {
            QObject::connect(r, &CPixmapUploadRequest::uploadedOk, &context, record("uploadedOk"));
            QObject::connect(r, &CPixmapUploadRequest::uploadingFailed, &context, record("uploadingFailed"));
        } else if (auto* r = qobject_cast<CUploadComparisonShotRequest*>(request)) {
            QObject::connect(r, &CUploadComparisonShotRequest::uploadedOk, &context, record("uploadedOk"));
            QObject::connect(r, &CUploadComparisonShotRequest::uploadingFailed, &context,
                             record("uploadingFailed"));
        } else if (auto* r = qobject_cast<CUploadUrlRequest*>(request)) {
            QObject::connect(r, &CUploadUrlRequest::uploadedOk, &context, record("uploadedOk"));
            QObject::connect(r, &CUploadUrlRequest::uploadingFailed, &context, record("uploadingFailed"));
        }
    }

    // Sends the request and waits until the manager has handled and deleted it.
    bool sendAndFinish()
    {
        QSignalSpy destroyed(request.data(), &QObject::destroyed);
        CServerManager::instance()->sendRequest(request);
        return destroyed.count() > 0 || destroyed.wait(kWait);
    }

    QPointer<CHttpRequest> request;
    QList<QPair<QString, QString>> seen;
    QObject context; // ends the connections with the spy, should a request outlive it
};

} // namespace

// Reads the sending request in its slot, the way the shell does.
class CPropertyReader : public QObject
{
    Q_OBJECT

public:
    int type = -1;
    QSize size;
    QString code;

public slots:
    void onCodeReserved(const QString& reservedCode, const QString&)
    {
        code = reservedCode;
        type = sender()->property("type").toInt();
        size = sender()->property("value").value<QPixmap>().size();
    }
};

void TestExchange::initTestCase()
{
    // Nothing may leave the machine, whatever proxy the environment names.
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
}

void TestExchange::init()
{
    CUser::instance()->signOut();
    m_server = std::make_unique<CTestHttpServer>();
    QVERIFY(m_server->listen());
    qputenv("BL_SERVICE_HOST", m_server->hostAndPort().toLatin1());
}

void TestExchange::cleanup()
{
    m_server.reset();
    qunsetenv("BL_SERVICE_HOST");
}

void TestExchange::loginOnTheWire()
{
    m_server->setReply(CTestHttpServer::response(200, R"({"exists":"true"})"));
    const QByteArray hash = "0123456789abcdef0123456789abcdef01234567";
    QStringList uuids;
    for (int attempt = 0; attempt < 2; ++attempt) {
        SOutcomeSpy spy(new CHashLoginRequest(QString::fromLatin1(hash)));
        uuids.append(spy.request->uuid());
        QVERIFY(spy.sendAndFinish());
        QCOMPARE(spy.seen.size(), 1);
        QCOMPARE(spy.seen.at(0).first, QStringLiteral("signInOk"));
    }
    QCOMPARE(m_server->exchanges().size(), 2);
    QVERIFY(uuids.at(0) != uuids.at(1));
    for (int i = 0; i < 2; ++i) {
        const auto& exchange = m_server->exchanges().at(i);
        QVERIFY2(exchange.head.startsWith("POST /api/check_hash HTTP/1.1\r\n"), exchange.head.constData());
        QCOMPARE(exchange.body, "hash=" + hash + "&uuid=" + uuids.at(i).toLatin1());
        QCOMPARE(exchange.body.size(), 87);
        QCOMPARE(exchange.header("Host"), m_server->hostAndPort().toLatin1());
        QCOMPARE(exchange.header("Accept"), QByteArray("*/*"));
        QCOMPARE(exchange.header("Content-Length"), QByteArray("87"));
        QCOMPARE(exchange.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
        // Our headers keep their order on the wire; only "Content-Length" is placed by Qt's HTTP layer.
        const QList<QByteArray> names = exchange.headerNames();

        QVERIFY(names.indexOf("Host") < names.indexOf("Accept"));
        QVERIFY(names.indexOf("Accept") < names.indexOf("Content-Type"));
    }
}

void TestExchange::loginReplies_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("text");
    const QByteArray auth = "WWW-Authenticate: Basic realm=\"brightloom\"\r\n";
    QTest::newRow("quoted true") << CTestHttpServer::response(200, R"({"exists":"true"})") << "signInOk"
                                 << QString();
    QTest::newRow("bare true") << CTestHttpServer::response(200, R"({"exists":true})") << "signInOk"
                               << QString();
    QTest::newRow("false") << CTestHttpServer::response(200, R"({"exists":"false"})") << "signInFailed"
                           << kMismatch;
    QTest::newRow("blank before true")
        << CTestHttpServer::response(200, R"({"exists": true})") << "signInFailed" << kMismatch;
    QTest::newRow("empty body") << CTestHttpServer::response(200, "") << "signInFailed" << kMismatch;
    QTest::newRow("server error, body ignored")
        << CTestHttpServer::response(500, R"({"exists":"true"})") << "signInFailed"
        << QStringLiteral("Login failed.\nNetwork error #%1: ").arg(QNetworkReply::InternalServerError);
    QTest::newRow("authentication demanded") << CTestHttpServer::response(401, "{}", auth) << "signInFailed"
                                             << QStringLiteral("Login failed.\nNetwork error #%1: ")
                                                    .arg(QNetworkReply::AuthenticationRequiredError);
}

void TestExchange::loginReplies()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, signal);
    QFETCH(QString, text);
    m_server->setReply(reply);
    if (reply.contains("WWW-Authenticate"))
        QTest::ignoreMessage(
            QtDebugMsg,
            "CServerManager::onAuthenticationRequired(QNetworkReply *reply, QAuthenticator *auth)");
    SOutcomeSpy spy(new CHashLoginRequest(QStringLiteral("abc")));
    QVERIFY(spy.sendAndFinish());
    QCOMPARE(spy.seen.size(), 1);
    QCOMPARE(spy.seen.at(0).first, signal);
    // Network-error texts end with Qt's own error string, which is not ours to pin.
    QVERIFY2(spy.seen.at(0).second.startsWith(text), qPrintable(spy.seen.at(0).second));
    if (!text.contains(QLatin1String("Network error")))
        QCOMPARE(spy.seen.at(0).second, text);
    else
        QVERIFY(spy.seen.at(0).second.size() > text.size());
}

void TestExchange::reservationOnTheWire()
{
    m_server->setReply(CTestHttpServer::response(200, R"({"status":"ok","code":"abc","url":"u"})"));
    SOutcomeSpy spy(new CReserveCodeRequest);
    QVERIFY(spy.sendAndFinish());
    QCOMPARE(m_server->exchanges().size(), 1);
    const auto& exchange = m_server->exchanges().at(0);
    QVERIFY(exchange.head.startsWith("POST /api/reserve_code HTTP/1.1\r\n"));
    QCOMPARE(exchange.header("Content-Length"), QByteArray("0"));
    QCOMPARE(exchange.header("Accept"), QByteArray("*/*"));
    QCOMPARE(exchange.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QVERIFY(exchange.raw.endsWith("\r\n\r\n")); // no body bytes at all
}

void TestExchange::reservationReplies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("argument");
    QTest::newRow("reserved") << QByteArray(R"({"status":"ok","code":"abc","url":"u"})") << "codeReserved"
                              << "abc|u";
    QTest::newRow("reserved without code") << QByteArray(R"({"status":"ok","url":"u"})") << "codeReserved"
                                           << "|u";
    QTest::newRow("busy") << QByteArray(R"({"status":"busy"})") << "errorOccured" << kReserveError;
    QTest::newRow("empty") << QByteArray() << "errorOccured" << kReserveError;
    QTest::newRow("not utf-8") << QByteArray("{\"status\":\"ok\",\"code\":\"c\xff\",\"url\":\"u\"}")
                               << "codeReserved" << QStringLiteral(u"c\ufffd|u");
}

void TestExchange::reservationReplies()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, signal);
    QFETCH(QString, argument);
    m_server->setReply(CTestHttpServer::response(200, body));
    SOutcomeSpy spy(new CReserveCodeRequest);
    QVERIFY(spy.sendAndFinish());
    QCOMPARE(spy.seen.size(), 1);
    QCOMPARE(spy.seen.at(0).first, signal);
    QCOMPARE(spy.seen.at(0).second, argument);
}

void TestExchange::uploadsOnTheWire()
{
    m_server->setReply(CTestHttpServer::response(200, R"({"status":"ok","url":"u"})"));
    for (int kind : {Pixmap, Comparison, Url}) {
        CHttpRequest* request = makeUpload(kind);
        const QByteArray expectedBody = request->body();
        const QByteArray declared = request->networkRequest().rawHeader("Content-Length");
        SOutcomeSpy spy(request);
        QVERIFY(spy.sendAndFinish());
        const auto& exchange = m_server->exchanges().last();
        const QByteArray path = kind == Url ? "/api/upload" : "/api/upload.php";
        QVERIFY2(exchange.head.startsWith("POST " + path + " HTTP/1.1\r\n"), exchange.head.constData());
        QCOMPARE(exchange.header("Host"), m_server->hostAndPort().toLatin1());
        QCOMPARE(exchange.header("Content-Length"), QByteArray::number(exchange.body.size()));
        QVERIFY(exchange.header("Accept").isNull());
        // Each upload states its own length, the comparison pair too, and it is what arrived.
        QCOMPARE(declared, QByteArray::number(expectedBody.size()));
        QCOMPARE(exchange.header("Content-Length"), declared);
        if (kind == Comparison) // the second file name is new for every build of the body
            QCOMPARE(exchange.body.size(), expectedBody.size());
        else
            QCOMPARE(exchange.body, expectedBody);
        QCOMPARE(spy.seen.size(), 1);
        QCOMPARE(spy.seen.at(0), qMakePair(QStringLiteral("uploadedOk"), QStringLiteral("u")));
    }
}

void TestExchange::uploadReplies_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("text");
    for (int kind : {Pixmap, Comparison, Url}) {
        const char* k = kind == Pixmap ? "picture" : kind == Comparison ? "comparison" : "url";
        auto ok = [](const QByteArray& body) { return CTestHttpServer::response(200, body); };
        QTest::addRow("%s: ok", k) << kind << ok(R"({"status":"ok","url":"u"})") << "uploadedOk"
                                   << "u";
        QTest::addRow("%s: refused", k)
            << kind << ok(R"({"status":"error","reason":"too big"})") << "uploadingFailed"
            << "Uploading failed.\ntoo big";
        QTest::addRow("%s: reason with comma", k)
            << kind << ok(R"({"status":"error","reason":"big, sorry"})") << "uploadingFailed"
            << "Uploading failed.\nbig";
        QTest::addRow("%s: no status", k) << kind << ok(R"({"url":"u"})") << "uploadingFailed" << kUnexpected;
        QTest::addRow("%s: other status", k)
            << kind << ok(R"({"status":"pending"})") << "uploadingFailed" << kUnexpected;
        QTest::addRow("%s: blank before ok", k)
            << kind << ok(R"({"status": "ok","url":"u"})") << "uploadingFailed" << kUnexpected;
        QTest::addRow("%s: server error", k)
            << kind << CTestHttpServer::response(500, R"({"status":"ok","url":"u"})") << "uploadingFailed"
            << QStringLiteral("Uploading failed.\nNetwork error #%1: ")
                   .arg(QNetworkReply::InternalServerError);
    }
}

void TestExchange::uploadReplies()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, reply);
    QFETCH(QString, signal);
    QFETCH(QString, text);
    m_server->setReply(reply);
    SOutcomeSpy spy(makeUpload(kind));
    QVERIFY(spy.sendAndFinish());
    QCOMPARE(spy.seen.size(), 1);
    QCOMPARE(spy.seen.at(0).first, signal);
    if (text.contains(QLatin1String("Network error"))) {
        QVERIFY2(spy.seen.at(0).second.startsWith(text), qPrintable(spy.seen.at(0).second));
        QVERIFY(spy.seen.at(0).second.endsWith(QLatin1Char(' '))); // the text ends with one blank
    } else {
        QCOMPARE(spy.seen.at(0).second, text);
    }
}

void TestExchange::repliesInReverseOrderReachTheirRequests()
{
    // Hold both requests, answer the later one, and only once it is handled the
    // earlier one; each link names the URL it answers.
    m_server->setHandler([](CTestHttpServer&, int) {});
    auto answer = [this](int i) {
        const auto& exchange = m_server->exchanges().at(i);
        const QByteArray url = QUrl::fromPercentEncoding(exchange.body.mid(4)).toUtf8();
        m_server->respond(i, CTestHttpServer::response(200, R"({"status":"ok","url":"for )" + url + "\"}"));
    };
    QList<QPair<QString, QString>> results;
    QSignalSpy handled(this, &QObject::objectNameChanged);
    QSignalSpy received(m_server.get(), &CTestHttpServer::requestReceived);
    for (const char* name : {"one", "two"}) {
        auto* request =
            new CUploadUrlRequest(QUrl(QStringLiteral("http://img.test/") + QLatin1String(name)), {});
        request->setProperty("tag", QByteArray(name));
        connect(request, &CUploadUrlRequest::uploadedOk, this, [&, request](const QString& link) {
            results.append({request->property("tag").toString(), link});
            setObjectName(QString::number(results.size()));
        });
        CServerManager::instance()->sendRequest(request);
    }
    while (received.count() < 2)
        QVERIFY(received.wait(kWait));
    answer(1);
    QVERIFY(handled.wait(kWait));
    answer(0);
    QVERIFY(handled.wait(kWait));

    auto tagOf = [this](int i) {
        return QUrl::fromPercentEncoding(m_server->exchanges().at(i).body.mid(4))
            .section(QLatin1Char('/'), -1);
    };
    QCOMPARE(results.size(), 2);
    QCOMPARE(results.at(0).first, tagOf(1));
    QCOMPARE(results.at(1).first, tagOf(0));
    for (const auto& result : results)
        QCOMPARE(result.second, QStringLiteral("for http://img.test/") + result.first);
    setObjectName(QString());
}

void TestExchange::senderPropertiesVisibleThenRequestDeleted()
{
    m_server->setReply(CTestHttpServer::response(200, R"({"status":"ok","code":"abc","url":"link"})"));
    auto* request = new CReserveCodeRequest;
    request->setProperty("type", 1);
    request->setProperty("value", QVariant::fromValue(picture()));
    QPointer<CReserveCodeRequest> watch(request);
    CPropertyReader reader;
    connect(request, &CReserveCodeRequest::codeReserved, &reader, &CPropertyReader::onCodeReserved);
    QSignalSpy destroyed(request, &QObject::destroyed);
    CServerManager::instance()->sendRequest(request);
    QVERIFY(destroyed.wait(kWait));
    QCOMPARE(reader.code, QStringLiteral("abc"));
    QCOMPARE(reader.type, 1);
    QCOMPARE(reader.size, QSize(16, 9));
    QVERIFY(watch.isNull());
}

void TestExchange::transportFailuresGiveOneSignal_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("error");
    QTest::newRow("refused") << "refused" << int(QNetworkReply::ConnectionRefusedError);
    QTest::newRow("reset") << "reset" << -1;
    QTest::newRow("closed without reply") << "close" << int(QNetworkReply::RemoteHostClosedError);
    QTest::newRow("truncated body") << "truncated" << int(QNetworkReply::RemoteHostClosedError);
    QTest::newRow("huge body, length declared") << "huge" << int(QNetworkReply::OperationCanceledError);
    QTest::newRow("huge body, length undeclared")
        << "huge stream" << int(QNetworkReply::OperationCanceledError);
}

void TestExchange::transportFailuresGiveOneSignal()
{
    QFETCH(QString, failure);
    QFETCH(int, error);
    if (failure == QLatin1String("refused")) {
        const QString host = m_server->hostAndPort();
        m_server.reset(); // nothing listens on that port any more
        qputenv("BL_SERVICE_HOST", host.toLatin1());
    } else if (failure == QLatin1String("reset")) {
        m_server->setHandler([](CTestHttpServer& server, int index) { server.reset(index); });
    } else if (failure == QLatin1String("close")) {
        m_server->setHandler([](CTestHttpServer& server, int index) { server.respond(index, QByteArray()); });
    } else if (failure == QLatin1String("truncated")) {
        m_server->setReply("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"status\":\"ok\",\"url\":\"u\"}");
    } else if (failure == QLatin1String("huge stream")) {
        m_server->setReply("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n{\"status\":\"ok\",\"url\":\"" +
                           QByteArray(3 * 1024 * 1024, 'x') + "\"}");
    } else {
        m_server->setReply(CTestHttpServer::response(200, "{\"status\":\"ok\",\"url\":\"" +
                                                              QByteArray(3 * 1024 * 1024, 'x') + "\"}"));
    }
    for (int kind : {Pixmap, Comparison, Url}) {
        SOutcomeSpy spy(makeUpload(kind));
        QVERIFY(spy.sendAndFinish());
        QCOMPARE(spy.seen.size(), 1);
        QCOMPARE(spy.seen.at(0).first, QStringLiteral("uploadingFailed"));
        const QString prefix = QStringLiteral("Uploading failed.\nNetwork error #");
        QVERIFY2(spy.seen.at(0).second.startsWith(prefix), qPrintable(spy.seen.at(0).second));
        if (error >= 0)
            QVERIFY2(spy.seen.at(0).second.startsWith(prefix + QString::number(error) + QLatin1Char(':')),
                     qPrintable(spy.seen.at(0).second));
    }
}

void TestExchange::anyReplyBytesGiveOneSignal_data()
{
    QTest::addColumn<QByteArray>("body");
    QByteArray binary(64 * 1024, Qt::Uninitialized);
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char((i * 7919) >> 3);
    QTest::newRow("binary") << binary;
    QTest::newRow("zero byte before status") << QByteArray("{\"url\":\"u\"\0,\"status\":\"ok\"}", 27);
    QTest::newRow("invalid utf-8") << QByteArray("\xc3\x28\xa0\xa1\xe2\x28\xa1\xf0\x28\x8c\xbc");
    QTest::newRow("truncated json") << QByteArray("{\"status\":\"o");
    QTest::newRow("large but allowed") << QByteArray(512 * 1024, ',');
}

void TestExchange::anyReplyBytesGiveOneSignal()
{
    QFETCH(QByteArray, body);
    m_server->setReply(CTestHttpServer::response(200, body));
    const QList<CHttpRequest*> requests{new CHashLoginRequest(QStringLiteral("h")), new CReserveCodeRequest,
                                        makeUpload(Pixmap), makeUpload(Comparison), makeUpload(Url)};
    for (CHttpRequest* request : requests) {
        SOutcomeSpy spy(request);
        QVERIFY(spy.sendAndFinish());
        QCOMPARE(spy.seen.size(), 1);
        // None of these is a valid answer: each must be a failure.
        QVERIFY2(spy.seen.at(0).first.contains(QLatin1String("Failed")) ||
                     spy.seen.at(0).first == QLatin1String("errorOccured"),
                 qPrintable(spy.seen.at(0).first));
    }
}

QTEST_MAIN(TestExchange)
#include "tst_exchange.moc"
