// Custom-uploader files: what is read from them, what is refused and why, and the reply syntax
// that picks the link out of a host's answer.

#include "api/customuploader.h"
#include "api/uploadersyntax.h"

#include <QtTest>

using BL::Api::SCustomUploader;
using BL::Api::SUploaderReply;
namespace Syntax = BL::Api::UploaderSyntax;

class TestCustomUploader : public QObject
{
    Q_OBJECT

private slots:
    void readsEveryField();
    void refusesWithTheReason_data();
    void refusesWithTheReason();
    void expandsReplies_data();
    void expandsReplies();
    void backtrackingPatternEnds();
};

void TestCustomUploader::readsEveryField()
{
    const QByteArray file = R"({
      "Version": "14.0.0", "Name": "Home host", "DestinationType": "ImageUploader, TextUploader",
      "RequestMethod": "put", "RequestURL": "https://img.example.test/api/{random:a|b}/upload",
      "Parameters": {"album": "shots", "n": 3}, "Headers": {"Authorization": "Bearer $base64:k$"},
      "Body": "MultipartFormData", "Arguments": {"name": "{filename}"}, "FileFormName": "image",
      "URL": "$json:data.link$", "ThumbnailURL": "{json:data.thumb}", "DeletionURL": "{regex:del=(\\w+)|1}",
      "ErrorMessage": "{json:error.message}"})";
    QString error = QStringLiteral("left over");
    const auto uploader = BL::Api::readCustomUploader(file, &error);
    QVERIFY2(uploader, qPrintable(error));
    QVERIFY(error.isEmpty());
    QCOMPARE(uploader->name, QStringLiteral("Home host"));
    QCOMPARE(uploader->method, QStringLiteral("PUT"));
    QCOMPARE(uploader->requestUrl, QStringLiteral("https://img.example.test/api/{random:a|b}/upload"));
    QCOMPARE(uploader->parameters, (SCustomUploader::SPairs{{"album", "shots"}, {"n", "3"}}));
    // The older `$…$` form is read as the braces.
    QCOMPARE(uploader->headers, (SCustomUploader::SPairs{{"Authorization", "Bearer {base64:k}"}}));
    QCOMPARE(uploader->arguments, (SCustomUploader::SPairs{{"name", "{filename}"}}));
    QCOMPARE(uploader->fileFormName, QStringLiteral("image"));
    QCOMPARE(uploader->url, QStringLiteral("{json:data.link}"));
    QCOMPARE(uploader->deletionUrl, QStringLiteral("{regex:del=(\\w+)|1}"));
    QVERIFY(uploader->body == SCustomUploader::EBody::MultipartFormData);
    // A plain-text host: no Name, no URL path, a binary body.
    const auto plain = BL::Api::readCustomUploader(
        R"({"RequestURL": "http://127.0.0.1:9/put", "Body": "Binary", "RequestMethod": "PATCH"})", &error);
    QVERIFY2(plain, qPrintable(error));
    QCOMPARE(plain->name, QStringLiteral("127.0.0.1"));
    QCOMPARE(plain->url, QStringLiteral("{response}"));
    QVERIFY(plain->body == SCustomUploader::EBody::Binary);
}

void TestCustomUploader::refusesWithTheReason_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("reason");
    const auto with = [](const char* more) -> QByteArray {
        return QByteArray(R"({"RequestURL": "https://h.example.test/up", "FileFormName": "f")") + more + "}";
    };
    QTest::newRow("not JSON") << QByteArray("{\"RequestURL\": ")
                              << QStringLiteral("not a custom-uploader file:");
    QTest::newRow("an array") << QByteArray("[1]")
                              << QStringLiteral("not a custom-uploader file: no JSON object");
    QTest::newRow("too large") << QByteArray(70 * 1024, ' ')
                               << QStringLiteral("the file is larger than 64 KiB");
    QTest::newRow("file scheme") << QByteArray(R"({"RequestURL": "file:///etc/passwd", "FileFormName": "f"})")
                                 << QStringLiteral("the request address must be an http or https address");
    QTest::newRow("ftp") << QByteArray(R"({"RequestURL": "ftp://h.example.test/", "FileFormName": "f"})")
                         << QStringLiteral("the request address must be an http or https address");
    QTest::newRow("no address") << QByteArray(R"({"FileFormName": "f"})")
                                << QStringLiteral("the file names no request address (RequestURL)");
    QTest::newRow("GET") << with(R"(, "RequestMethod": "GET")")
                         << QStringLiteral("the request method GET is not supported");
    QTest::newRow("text uploader") << with(R"(, "DestinationType": "TextUploader, URLShortener")")
                                   << QStringLiteral(
                                          "the file describes a TextUploader, URLShortener, not an image");
    QTest::newRow("CR LF in a value") << with(R"(, "Headers": {"X-Key": "a\r\nHost: evil"})")
                                      << QStringLiteral("the header X-Key holds a line break");
    QTest::newRow("LF in a name") << with(R"(, "Headers": {"X-Key\nHost": "a"})")
                                  << QStringLiteral("the header name \"X-Key\nHost\" is not allowed");
    QTest::newRow("prompt") << with(R"(, "Arguments": {"title": "{prompt:Title}"})")
                            << QStringLiteral("Arguments.title uses {prompt}, which asks while uploading");
    QTest::newRow("select") << with(R"(, "Headers": {"X": "{select:a|b}"})")
                            << QStringLiteral("Headers.X uses {select}, which asks while uploading");
    QTest::newRow("input") << with(R"(, "Data": "{input}")") << QStringLiteral("Data uses {input}");
    QTest::newRow("unknown") << with(R"(, "URL": "{outputurl}")")
                             << QStringLiteral("URL uses {outputurl}, which this program does not know");
    QTest::newRow("nested unknown") << with(R"(, "URL": "{base64:{shorturl}}")")
                                    << QStringLiteral("URL uses {shorturl}");
    QTest::newRow("reply syntax in a request")
        << with(R"(, "Headers": {"X": "{json:a}"})")
        << QStringLiteral("Headers.X uses {json}, which only a reply can answer");
    QTest::newRow("unclosed") << with(R"(, "URL": "{json:a")")
                              << QStringLiteral("URL opens a { that it never closes");
    QTest::newRow("body kind") << with(R"(, "Body": "XML")")
                               << QStringLiteral("the body kind XML is not supported");
    QTest::newRow("no file field") << QByteArray(R"({"RequestURL": "https://h.example.test/up"})")
                                   << QStringLiteral(
                                          "the file names no form field for the picture (FileFormName)");
}

void TestCustomUploader::refusesWithTheReason()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, reason);
    QString error;
    QVERIFY(!BL::Api::readCustomUploader(file, &error));
    QVERIFY2(error.startsWith(reason), qPrintable(error));
}

void TestCustomUploader::expandsReplies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("missing");
    const QByteArray json =
        R"({"status":200,"data":{"link":"https://i.example.test/a.png","files":[{"url":"u0"},{"url":"u1"}],"size":1234,"ok":true}})";
    QTest::newRow("json path") << json << "{json:data.link}"
                               << "https://i.example.test/a.png"
                               << "";
    QTest::newRow("json index") << json << "{json:data.files[1].url}"
                                << "u1"
                                << "";
    QTest::newRow("json $ root and number") << json << "{json:$.data.size} bytes"
                                            << "1234 bytes"
                                            << "";
    QTest::newRow("json older form") << json << "$json:data.files[0].url$"
                                     << "u0"
                                     << "";
    QTest::newRow("json top array") << QByteArray(R"([{"link":"x"}])") << "{json:[0].link}"
                                    << "x"
                                    << "";
    QTest::newRow("json missing") << json << "a{json:data.nothing}b"
                                  << "ab"
                                  << "{json:data.nothing}";
    QTest::newRow("json not json") << QByteArray("<html>") << "{json:a}"
                                   << ""
                                   << "{json:a}";
    const QByteArray xml =
        "<?xml version=\"1.0\"?><rsp stat=\"ok\"><image><image_link>https://x.test/1.png</image_link>"
        "<delete_hash>d3l</delete_hash></image></rsp>";
    QTest::newRow("xml absolute") << xml << "{xml:/rsp/image/image_link}"
                                  << "https://x.test/1.png"
                                  << "";
    QTest::newRow("xml anywhere") << xml << "https://x.test/del/{xml://delete_hash}"
                                  << "https://x.test/del/d3l"
                                  << "";
    QTest::newRow("xml wrong root") << xml << "{xml:/image/image_link}"
                                    << ""
                                    << "{xml:/image/image_link}";
    const QByteArray html = "<a href=\"https://p.test/v/Ab12\">view</a> del=Zz9 ";
    QTest::newRow("regex group") << html << "{regex:href=\"([^\"]+)\"|1}"
                                 << "https://p.test/v/Ab12"
                                 << "";
    QTest::newRow("regex named") << html << "{regex:del=(?<key>\\w+)|key}"
                                 << "Zz9"
                                 << "";
    QTest::newRow("regex whole") << html << "{regex:v/\\w+}"
                                 << "v/Ab12"
                                 << "";
    QTest::newRow("regex braces") << html << "{regex:Ab\\d{2}}"
                                  << "Ab12"
                                  << "";
    QTest::newRow("regex alternation kept") << html << "{regex:view|nothing}"
                                            << "view"
                                            << "";
    QTest::newRow("response") << QByteArray("https://t.test/x\n") << "{response}"
                              << "https://t.test/x\n"
                              << "";
    QTest::newRow("responseurl") << QByteArray() << "{responseurl}"
                                 << "https://host.test/final"
                                 << "";
    QTest::newRow("header") << QByteArray() << "{header:location}"
                            << "https://host.test/l"
                            << "";
    QTest::newRow("header missing") << QByteArray() << "{header:x-none}"
                                    << ""
                                    << "{header:x-none}";
    QTest::newRow("filename and base64") << QByteArray() << "{filename}:{base64:{filename}}"
                                         << "shot.png:c2hvdC5wbmc="
                                         << "";
    QTest::newRow("escaped braces") << QByteArray() << "\\{literal\\}"
                                    << "{literal}"
                                    << "";
    QTest::newRow("random of one") << QByteArray() << "{random:only}"
                                   << "only"
                                   << "";
}

void TestCustomUploader::expandsReplies()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, field);
    QFETCH(QString, expected);
    QFETCH(QString, missing);
    SUploaderReply reply;
    reply.body = body;
    reply.url = QUrl(QStringLiteral("https://host.test/final"));
    reply.headers = {{"Content-Type", "text/plain"}, {"Location", "https://host.test/l"}};
    QString found;
    QCOMPARE(Syntax::expand(field, reply, QStringLiteral("shot.png"), &found), expected);
    QCOMPARE(found, missing);
}

void TestCustomUploader::backtrackingPatternEnds()
{
    // Nested quantifiers over a long run that cannot match: PCRE2's match limit stops the search,
    // so the field comes back empty instead of holding the program for ever.
    SUploaderReply reply;
    reply.body = QByteArray(200000, 'a');
    reply.body.append('!');
    QString missing;
    QCOMPARE(Syntax::expand(QStringLiteral("{regex:^(a+)+$}"), reply, QString(), &missing), QString());
    QCOMPARE(missing, QStringLiteral("{regex:^(a+)+$}"));
    // A later field of the same reply still reads.
    reply.body += "link=ok";
    QCOMPARE(Syntax::expand(QStringLiteral("{regex:link=(\\w+)|1}"), reply, QString()), QStringLiteral("ok"));
}

QTEST_GUILESS_MAIN(TestCustomUploader)
#include "tst_customuploader.moc"
