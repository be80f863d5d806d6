// Uploads to any image host, against hosts on loopback: the request a custom-uploader file
// describes, the link read from the reply, the host's own error message, and credentials that stop
// at the host the file names.

#include "api/customuploadrequest.h"
#include "testhttpserver.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QtTest>

using BL::Api::CCustomUploadRequest;
using BL::Api::SCustomUploader;
using BL::Api::SCustomUploadResult;

Q_DECLARE_METATYPE(BL::Api::SCustomUploadResult)

namespace {

QString base(const CTestHttpServer& server)
{
    return QStringLiteral("http://") + server.hostAndPort();
}

SCustomUploader jsonHost(const CTestHttpServer& server)
{
    SCustomUploader uploader;
    uploader.name = QStringLiteral("json host");
    uploader.requestUrl = base(server) + QStringLiteral("/api/upload");
    uploader.parameters = {{QStringLiteral("album"), QStringLiteral("a b")}};
    uploader.headers = {{QStringLiteral("Authorization"), QStringLiteral("Bearer s3cret")},
                        {QStringLiteral("X-Api-Key"), QStringLiteral("k-{base64:key}")}};
    uploader.arguments = {{QStringLiteral("title"), QStringLiteral("{filename}")}};
    uploader.fileFormName = QStringLiteral("image");
    uploader.url = QStringLiteral("{json:data.link}");
    uploader.thumbnailUrl = QStringLiteral("{json:data.thumb}");
    uploader.deletionUrl = QStringLiteral("{json:data.delete}");
    uploader.errorMessage = QStringLiteral("{json:error.message}");
    return uploader;
}

// Runs one upload to its end: the result, or the failure's message.
struct SOutcome
{
    bool ok = false;
    SCustomUploadResult result;
    QString message;
};

SOutcome upload(const SCustomUploader& uploader,
                const QByteArray& file = QByteArray("\x89PNG\r\n\x1a\npixels", 14))
{
    QNetworkAccessManager network;
    CCustomUploadRequest request(uploader, file, QStringLiteral("shot.png"), QStringLiteral("image/png"));
    QSignalSpy done(&request, &CCustomUploadRequest::succeeded);
    QSignalSpy failed(&request, &CCustomUploadRequest::failed);
    // Either signal ends the wait; the ceiling only catches a request that never ends.
    QEventLoop loop;
    QObject::connect(&request, &CCustomUploadRequest::succeeded, &loop, &QEventLoop::quit);
    QObject::connect(&request, &CCustomUploadRequest::failed, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    request.start(&network);
    if (done.isEmpty() && failed.isEmpty())
        loop.exec();
    SOutcome outcome;
    if (done.isEmpty() && failed.isEmpty())
        return outcome;
    outcome.ok = !done.isEmpty();
    if (outcome.ok)
        outcome.result = done.first().first().value<SCustomUploadResult>();
    else
        outcome.message = failed.first().first().toString();
    return outcome;
}

} // namespace

class TestCustomUpload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<SCustomUploadResult>(); }
    void sendsWhatTheFileSaysAndReadsTheLink();
    void credentialsStopAtTheNamedHost();
    void failuresSayWhy();
};

void TestCustomUpload::sendsWhatTheFileSaysAndReadsTheLink()
{
    CTestHttpServer host;
    QVERIFY(host.listen());
    const QByteArray links =
        "{\"data\":{\"link\":\"https://i.example.test/Ab.png\",\"thumb\":\"https://i.example.test/"
        "Ab_t.png\",\"delete\":\"https://i.example.test/del/Zz\"}}";
    host.setReply(CTestHttpServer::response(200, links));
    const SOutcome outcome = upload(jsonHost(host));
    QVERIFY2(outcome.ok, qPrintable(outcome.message));
    QCOMPARE(outcome.result.url, QStringLiteral("https://i.example.test/Ab.png"));
    QCOMPARE(outcome.result.thumbnailUrl, QStringLiteral("https://i.example.test/Ab_t.png"));
    QCOMPARE(outcome.result.deletionUrl, QStringLiteral("https://i.example.test/del/Zz"));
    QCOMPARE(host.exchanges().size(), 1);
    const CTestHttpServer::SExchange& sent = host.exchanges().first();
    QVERIFY2(sent.head.startsWith("POST /api/upload?album=a%20b HTTP/1.1"), sent.head.constData());
    QCOMPARE(sent.header("Authorization"), QByteArray("Bearer s3cret"));
    QCOMPARE(sent.header("X-Api-Key"), QByteArray("k-a2V5"));
    const QByteArray type = sent.header("Content-Type");
    QVERIFY(type.startsWith("multipart/form-data; boundary="));
    const QByteArray boundary = type.mid(type.indexOf('=') + 1);
    QCOMPARE(sent.body, "--" + boundary +
                            "\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nshot.png\r\n--" +
                            boundary +
                            "\r\nContent-Disposition: form-data; name=\"image\"; filename=\"shot.png\"\r\n"
                            "Content-Type: image/png\r\n\r\n\x89PNG\r\n\x1a\npixels\r\n--" +
                            boundary + "--\r\n");

    // A host that takes the bare file with PUT and answers the link in plain text.
    SCustomUploader plain;
    plain.method = QStringLiteral("PUT");
    plain.requestUrl = base(host) + QStringLiteral("/files/{filename}");
    plain.body = SCustomUploader::EBody::Binary;
    plain.url = QStringLiteral("{response}");
    host.setReply(CTestHttpServer::response(200, "https://t.example.test/shot.png\n"));
    const SOutcome put = upload(plain, "raw bytes");
    QVERIFY2(put.ok, qPrintable(put.message));
    QCOMPARE(put.result.url, QStringLiteral("https://t.example.test/shot.png"));
    QVERIFY(host.exchanges().last().head.startsWith("PUT /files/shot.png HTTP/1.1"));
    QCOMPARE(host.exchanges().last().header("Content-Type"), QByteArray("image/png"));
    QCOMPARE(host.exchanges().last().body, QByteArray("raw bytes"));
}

void TestCustomUpload::credentialsStopAtTheNamedHost()
{
    CTestHttpServer named;
    CTestHttpServer other;
    QVERIFY(named.listen());
    QVERIFY(other.listen());
    const QByteArray link = "{\"data\":{\"link\":\"https://i.example.test/x.png\"}}";
    other.setReply(CTestHttpServer::response(200, link));
    // First to a path of the same host (credentials go along), then to another host (they do not).
    named.setHandler([&](CTestHttpServer& server, int index) {
        const QByteArray to =
            index == 0 ? QByteArray("/api/v2/upload") : QByteArray(base(other).toLatin1() + "/take");
        server.respond(index, CTestHttpServer::response(307, QByteArray(), "Location: " + to + "\r\n"));
    });
    const SOutcome outcome = upload(jsonHost(named));
    QVERIFY2(outcome.ok, qPrintable(outcome.message));
    QCOMPARE(named.exchanges().size(), 2);
    QCOMPARE(named.exchanges().at(1).header("Authorization"), QByteArray("Bearer s3cret"));
    QCOMPARE(other.exchanges().size(), 1);
    const CTestHttpServer::SExchange& elsewhere = other.exchanges().first();
    QVERIFY(elsewhere.head.startsWith("POST /take HTTP/1.1"));
    QVERIFY(elsewhere.header("Authorization").isNull());
    QVERIFY(elsewhere.header("X-Api-Key").isNull());
    QVERIFY(elsewhere.header("Cookie").isNull());
    // 307 repeats the request: the picture went along, only the credentials stayed behind.
    QVERIFY(elsewhere.body.contains("\x89PNG"));
}

void TestCustomUpload::failuresSayWhy()
{
    CTestHttpServer host;
    QVERIFY(host.listen());
    const SCustomUploader uploader = jsonHost(host);
    // The host's own message, where its file says it is.
    host.setReply(CTestHttpServer::response(413, "{\"error\":{\"message\":\"File is over your quota\"}}"));
    QCOMPARE(upload(uploader).message, QStringLiteral("127.0.0.1: File is over your quota"));
    host.setReply(CTestHttpServer::response(502, "<html>bad gateway</html>"));
    QCOMPARE(upload(uploader).message, QStringLiteral("127.0.0.1 answered 502."));
    // A success that names no web address is no link.
    host.setReply(CTestHttpServer::response(200, "{\"data\":{\"link\":\"javascript:alert(1)\"}}"));
    QCOMPARE(upload(uploader).message, QStringLiteral("The reply of 127.0.0.1 holds no link."));
    host.setReply(CTestHttpServer::response(200, "{\"data\":{}}"));
    QCOMPARE(upload(uploader).message, QStringLiteral("The reply of 127.0.0.1 holds no link."));
    // A reply without end is cut off at 1 MiB.
    host.setReply(CTestHttpServer::response(200, QByteArray(3 * 1024 * 1024, 'x')));
    QCOMPARE(upload(uploader).message, QStringLiteral("The reply of 127.0.0.1 was larger than 1 MiB."));
    // Redirects in a circle end.
    host.setReply(CTestHttpServer::response(302, QByteArray(), "Location: /again\r\n"));
    QCOMPARE(upload(uploader).message,
             QStringLiteral("127.0.0.1 sent the upload elsewhere too often, or to no web address."));
    // Nobody listening.
    SCustomUploader gone = uploader;
    gone.requestUrl = QStringLiteral("http://127.0.0.1:1/up");
    QVERIFY(upload(gone).message.startsWith(QStringLiteral("Could not reach 127.0.0.1:")));
}

QTEST_GUILESS_MAIN(TestCustomUpload)
#include "tst_customupload.moc"
