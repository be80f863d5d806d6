// Uploads to image hosts of three reply shapes on a private X session: each host is a local
// test server described by its own custom-uploader file (tests/e2e/hosts), imported with
// --import-uploader. A shot's link, thumbnail and deletion address are picked out of the reply,
// the picture arrives as the file says, a comparison goes as two uploads, and a refusal shows
// the host's own message. Delete posts to the deletion address without the file's credentials,
// and opens it in the browser when the host wants more.
#include "testhttpserver.h"
#include "x11session.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QtTest>

using namespace BL::Test;

namespace {

constexpr int kPatience = 20000;
const QVariantMap kHelpSeen = {{"show_pre_help", true}, {"show_paste_help", true}};

// The one PNG file in `bytes` (a multipart body or the bare file), decoded.
QImage pictureIn(const QByteArray& bytes)
{
    const int start = bytes.indexOf("\x89PNG");
    const int end = bytes.indexOf("IEND", start);
    if (start < 0 || end < 0)
        return QImage();
    return QImage::fromData(bytes.mid(start, end + 8 - start), "PNG");
}

// A small picture in `format`, as a host serves a thumbnail.
QByteArray picture(int width, int height, const char* format)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(200, 40, 40));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QByteArray requestLine(const CTestHttpServer::SExchange& exchange)
{
    return exchange.head.left(exchange.head.indexOf("\r\n"));
}

} // namespace

class TestHosts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void replyShapesGiveLinkThumbnailAndDeletion();
    void refusalsShowTheHostsMessage();
    void deleteGoesWithoutCredentialsOrToTheBrowser();

private:
    void answer(int index);
    bool startProgram();
    // Writes the file of `shape` for this run's port and imports it; true once its balloon shows.
    bool import(const QString& shape, const QString& name);
    // A shot of the area from `from` to `to`; the clipboard's text once it changed.
    QString takeShot(QPoint from, QPoint to, bool comparison = false);
    QJsonArray listedShares() const;
    bool walkTrayMenu(const QStringList& keys) { return BL::Test::walkTrayMenu(*m_program, keys); }
    // Picks "&Delete..." of the newest share and says Yes to the question.
    bool deleteNewestShare();
    QStringList opened() const;
    QString base() const { return QStringLiteral("http://") + m_host.hostAndPort(); }

    QTemporaryDir m_root;
    CTestHttpServer m_host;
    bool m_refuse = false;
    bool m_holdThumbnails = false;
    QList<int> m_heldThumbnails; // the exchanges that asked for a thumbnail not answered yet
    int m_stored = 0;            // uploads answered with a link
    QList<int> m_uploads;        // the exchanges that were uploads
    QList<int> m_deletions;      // the exchanges that were deletions
    std::unique_ptr<QTemporaryDir> m_user;
    std::unique_ptr<CProgram> m_program;
};

void TestHosts::initTestCase()
{
    QVERIFY(m_host.listen());
    m_host.setHandler([this](CTestHttpServer&, int index) { answer(index); });
    // A browser stand-in that only writes down what it was asked to open.
    QVERIFY(QDir().mkpath(m_root.filePath("opener")));
    QFile opener(m_root.filePath("opener/xdg-open"));
    QVERIFY(opener.open(QIODevice::WriteOnly));
    opener.write("#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + m_root.filePath("opened.txt").toUtf8() + "'\n");
    opener.close();
    QVERIFY(opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void TestHosts::cleanup()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
    m_user.reset();
    xdotool({"key", "Escape"});
}

// Each host answers in its own shape, with addresses of its own below this server.
void TestHosts::answer(int index)
{
    const QByteArray line = requestLine(m_host.exchanges().at(index));
    const bool upload = line.startsWith("POST /api/v2/upload?") || line.startsWith("PUT /drawer/") ||
                        line.startsWith("POST / ");
    if (upload)
        m_uploads << index;
    else if (line.startsWith("POST "))
        m_deletions << index;
    const QByteArray n = QByteArray::number(upload && !m_refuse ? ++m_stored : m_stored);
    const QByteArray at = base().toUtf8();
    if (line.startsWith("GET /a/") && line.contains("-t.png ") && m_holdThumbnails) {
        m_heldThumbnails << index;
    } else if (line.startsWith("GET /a/") && line.contains("-t.png ")) {
        m_host.respond(index,
                       CTestHttpServer::response(200, picture(20, 10, "PNG"), "Content-Type: image/png\r\n"));
    } else if (line.startsWith("GET /d/") && line.contains("/small ")) {
        m_host.respond(
            index, CTestHttpServer::response(200, picture(30, 20, "JPEG"), "Content-Type: image/jpeg\r\n"));
    } else if (line.startsWith("POST /a/del/")) {
        m_host.respond(index, CTestHttpServer::response(200, "deleted"));
    } else if (line.startsWith("POST /d/")) {
        // This one wants a person to press its button.
        m_host.respond(index, CTestHttpServer::response(405, "use the page"));
    } else if (line.startsWith("POST /api/v2/upload?")) {
        m_host.respond(
            index,
            m_refuse ? CTestHttpServer::response(
                           403, R"({"status":"error","error":{"message":"This key may not upload"}})",
                           "Content-Type: application/json\r\n")
                     : CTestHttpServer::response(200,
                                                 R"({"status":"ok","data":{"image":{"link":")" + at + "/a/" +
                                                     n + R"(.png","thumb":")" + at + "/a/" + n +
                                                     R"(-t.png"},"delete":")" + at + "/a/del/" + n + R"("}})",
                                                 "Content-Type: application/json\r\n"));
    } else if (line.startsWith("PUT /drawer/")) {
        m_host.respond(
            index,
            m_refuse
                ? CTestHttpServer::response(
                      507, "<?xml version=\"1.0\"?><failure><reason>The drawer is full</reason></failure>",
                      "Content-Type: application/xml\r\n")
                : CTestHttpServer::response(200,
                                            "<?xml version=\"1.0\"?><stored><file><address>" + at + "/d/" +
                                                n + ".png</address><size><preview>" + at + "/d/" + n +
                                                "/small</preview></size></file><removal>" + at + "/d/" + n +
                                                "/remove</removal></stored>",
                                            "Content-Type: application/xml\r\n"));
    } else if (line.startsWith("POST / ")) {
        m_host.respond(
            index, m_refuse ? CTestHttpServer::response(500, "disk full, try again tomorrow\n")
                            : CTestHttpServer::response(200, "stored as " + at + "/t/" + n + ".png\n",
                                                        "X-Delete-Url: " + at + "/t/" + n + "/forget\r\n"));
    } else {
        m_host.respond(index, CTestHttpServer::response(404, "no such place"));
    }
}

bool TestHosts::startProgram()
{
    m_user = std::make_unique<QTemporaryDir>();
    QProcessEnvironment env = privateUserEnvironment(m_user->path());
    env.insert(QStringLiteral("PATH"), m_root.filePath("opener") + QLatin1Char(':') + env.value("PATH"));
    env.remove(QStringLiteral("BROWSER"));
    env.remove(QStringLiteral("DEFAULT_BROWSER"));
    m_program = startDockedProgram(m_user->path(), env, kHelpSeen);
    return m_program != nullptr;
}

bool TestHosts::import(const QString& shape, const QString& name)
{
    QFile source(QStringLiteral(BL_SOURCE_DIR "/tests/e2e/hosts/") + shape + QStringLiteral(".sxcu"));
    QFile copy(m_user->filePath(shape + QStringLiteral(".sxcu")));
    if (!source.open(QIODevice::ReadOnly) || !copy.open(QIODevice::WriteOnly))
        return false;
    copy.write(source.readAll().replace("127.0.0.1:PORT", m_host.hostAndPort().toUtf8()));
    copy.close();
    CProgram later(privateUserEnvironment(m_user->path()));
    if (!later.start({QStringLiteral("--import-uploader"), copy.fileName()}) || !later.waitForExit(10000) ||
        later.exitCode() != 0)
        return false;
    const QString balloon = QStringLiteral("Uploads now go to %1.").arg(name);
    return QTest::qWaitFor([this, balloon] { return m_program->errorOutput().contains(balloon); }, kPatience);
}

QString TestHosts::takeShot(QPoint from, QPoint to, bool comparison)
{
    const QString before = clipboard();
    xdotool({"key", comparison ? "ctrl+alt+m" : "ctrl+alt+p"});
    if (!QTest::qWaitFor([] { return programOverlayShown(); }, kPatience))
        return QString();
    const auto reshown = [this] {
        return m_program->errorOutput().count("comparison overlay shown again for the second area");
    };
    const int reshownBefore = reshown();
    drag(from, to);
    if (comparison) {
        // The second area, the same size further right, once the overlay is back over the screen.
        if (!QTest::qWaitFor([&] { return reshown() > reshownBefore && programOverlayInPlace(); }, kPatience))
            return QString();
        drag(from + QPoint(500, 0), to + QPoint(500, 0));
    }
    QString link;
    const bool changed = QTest::qWaitFor(
        [&link, &before] { return (link = clipboard()) != before && !link.isEmpty(); }, kPatience);
    return changed ? link : QString();
}

QJsonArray TestHosts::listedShares() const
{
    QFile file(m_user->filePath(QStringLiteral("data/brightloom/shares/shares.json")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("shares")).toArray();
}

bool TestHosts::deleteNewestShare()
{
    // Up seven times: "&Quit", "&About", "Check for &Updates", "Text languages", "Copy te&xt from
    // area", "Ex&pire new shares", "R&ecent shares"; Right twice opens its newest entry's menu,
    // where "&Delete..." is third.
    const int asked = m_program->errorOutput().count("message box Question: delete");
    return walkTrayMenu(
               {"Up", "Up", "Up", "Up", "Up", "Up", "Up", "Right", "Right", "Down", "Down", "Return"}) &&
           confirmDeletion(*m_program, asked, kPatience);
}

QStringList TestHosts::opened() const
{
    QFile file(m_root.filePath("opened.txt"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

void TestHosts::replyShapesGiveLinkThumbnailAndDeletion()
{
    QVERIFY(startProgram());
    const QString at = base();
    const struct
    {
        const char* shape;
        const char* name;
        QString link, thumbnail, deletion;
        QSize thumbnailSize; // as the menu keeps it
    } hosts[] = {
        {"nested-json", "Album host", at + "/a/%1.png", at + "/a/%1-t.png", at + "/a/del/%1", QSize(20, 10)},
        {"xml-reply", "Drawer", at + "/d/%1.png", at + "/d/%1/small", at + "/d/%1/remove", QSize(30, 20)},
        {"plain-text", "Text drop", at + "/t/%1.png", QString(), at + "/t/%1/forget", QSize()},
    };
    int shots = 0;
    for (const auto& host : hosts) {
        QVERIFY2(import(QLatin1String(host.shape), QLatin1String(host.name)), host.shape);
        const int requests = m_uploads.size();
        const QString link = takeShot({100, 100}, {260, 220});
        QCOMPARE(link, host.link.arg(m_stored));
        ++shots;
        QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().count("Screenshot succesfully uploaded.") == shots,
                                 kPatience);
        QCOMPARE(m_uploads.size(), requests + 1);

        // The picture arrived whole, in the way the file says.
        const CTestHttpServer::SExchange& sent = m_host.exchanges().at(m_uploads.last());
        QCOMPARE(pictureIn(sent.body).size(), QSize(161, 121));
        const QString asked = QString::fromUtf8(requestLine(sent));
        if (QLatin1String(host.shape) == QLatin1String("nested-json")) {
            QCOMPARE(QUrlQuery(QUrl(asked.section(' ', 1, 1)).query()).queryItemValue("format"), "json");
            QCOMPARE(sent.header("X-Api-Key"), QByteArray("album-key-5521"));
            QVERIFY(sent.body.contains("name=\"album\"\r\n\r\ndesk\r\n"));
            QVERIFY(sent.body.contains("name=\"upload\"; filename=\"brightloom-"));
        } else if (QLatin1String(host.shape) == QLatin1String("xml-reply")) {
            QVERIFY2(asked.startsWith("PUT /drawer/brightloom-") && asked.contains(".png "),
                     qPrintable(asked));
            QCOMPARE(sent.header("Authorization"), QByteArray("Basic ZHJhd2VyOnNlY3JldA=="));
            QVERIFY(sent.body.startsWith("\x89PNG"));
        } else {
            QVERIFY(sent.body.contains("name=\"f\"; filename=\"brightloom-"));
        }

        // Listed under "Recent shares" with what the reply named besides the link.
        QTRY_VERIFY_WITH_TIMEOUT(!listedShares().isEmpty() &&
                                     listedShares().at(0).toObject().value("link").toString() == link,
                                 kPatience);
        const QJsonObject listed = listedShares().at(0).toObject();
        QCOMPARE(listed.value("host").toString(), QLatin1String(host.name));
        QCOMPARE(listed.value("thumbnail_url").toString(),
                 host.thumbnail.isEmpty() ? QString() : host.thumbnail.arg(m_stored));
        QCOMPARE(listed.value("deletion_url").toString(), host.deletion.arg(m_stored));
        QVERIFY(!listed.contains("secret"));
        // The thumbnail, fetched for the menu (a JPEG one too).
        if (host.thumbnailSize.isValid()) {
            QTRY_VERIFY_WITH_TIMEOUT(listedShares().at(0).toObject().contains("thumbnail"), kPatience);
            const QString kept =
                m_user->filePath(QStringLiteral("data/brightloom/shares/") +
                                 listedShares().at(0).toObject().value("thumbnail").toString());
            QCOMPARE(QImage(kept).size(), host.thumbnailSize);
        }
    }

    // A comparison goes to the XML host as two uploads, and both links go on the clipboard.
    QVERIFY(import("xml-reply", "Drawer"));
    const int requests = m_uploads.size();
    const QString links = takeShot({100, 100}, {200, 180}, true);
    QCOMPARE(m_uploads.size(), requests + 2);
    QCOMPARE(links.split('\n').size(), 2);
    for (int i = 0; i < 2; ++i) {
        const CTestHttpServer::SExchange& sent = m_host.exchanges().at(m_uploads.at(requests + i));
        QCOMPARE(pictureIn(sent.body).size(), QSize(101, 81));
        QVERIFY(requestLine(sent).contains(QByteArray("-") + QByteArray::number(i + 1) + ".png "));
    }
    QTRY_COMPARE_WITH_TIMEOUT(listedShares().size(), 5, kPatience);
    QCOMPARE(listedShares().at(0).toObject().value("kind").toString(), QStringLiteral("comparison"));
    QVERIFY(links.contains(listedShares().at(0).toObject().value("link").toString()));
    QVERIFY(links.contains(listedShares().at(1).toObject().value("link").toString()));
}

void TestHosts::refusalsShowTheHostsMessage()
{
    QVERIFY(startProgram());
    m_refuse = true;
    const struct
    {
        const char* shape;
        const char* name;
        const char* says;
    } hosts[] = {
        {"nested-json", "Album host", "127.0.0.1: This key may not upload"},
        {"xml-reply", "Drawer", "127.0.0.1: The drawer is full"},
        {"plain-text", "Text drop", "127.0.0.1: disk full, try again tomorrow"},
    };
    int failures = 0;
    for (const auto& host : hosts) {
        QVERIFY2(import(QLatin1String(host.shape), QLatin1String(host.name)), host.shape);
        xdotool({"key", "ctrl+alt+p"});
        QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kPatience);
        drag({300, 300}, {340, 330});
        // The picture is kept, and the balloon carries the host's words.
        ++failures;
        QTRY_COMPARE_WITH_TIMEOUT(listedShares().size(), failures, kPatience);
        QVERIFY(listedShares().at(0).toObject().contains("kept"));
        QTRY_VERIFY_WITH_TIMEOUT(
            m_program->errorOutput().contains(QStringLiteral("balloon Critical ") + QLatin1String(host.says)),
            kPatience);
    }
    QVERIFY(!m_program->errorOutput().contains("Screenshot succesfully uploaded."));
    m_refuse = false;
}

void TestHosts::deleteGoesWithoutCredentialsOrToTheBrowser()
{
    QVERIFY(startProgram());

    // A host that deletes on the bare POST: the entry goes, and none of the file's headers went.
    QVERIFY(import("nested-json", "Album host"));
    m_holdThumbnails = true;
    const QString first = takeShot({100, 100}, {180, 160});
    QVERIFY(!first.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(listedShares().size(), 1, kPatience);
    // The thumbnail arrives while the delete question is open: it rebuilds the menu whose entry
    // asked, and the program must live on and delete.
    QTRY_COMPARE_WITH_TIMEOUT(m_heldThumbnails.size(), 1, kPatience);
    QVERIFY(m_deletions.isEmpty());
    QVERIFY(waitForTrayAtRest()); // the upload's balloon gone: a menu opened under it may lose keys
    QVERIFY(
        walkTrayMenu({"Up", "Up", "Up", "Up", "Up", "Up", "Up", "Right", "Right", "Down", "Down", "Return"}));
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("message box Question: delete"), kPatience);
    m_holdThumbnails = false;
    m_host.respond(m_heldThumbnails.first(),
                   CTestHttpServer::response(200, picture(20, 10, "PNG"), "Content-Type: image/png\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(listedShares().at(0).toObject().contains("thumbnail"), kPatience);
    QVERIFY(confirmDeletion(*m_program, 0, kPatience));
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("balloon Information The share was deleted."),
                             kPatience);
    QTRY_COMPARE_WITH_TIMEOUT(listedShares().size(), 0, kPatience);
    QCOMPARE(m_deletions.size(), 1);
    const CTestHttpServer::SExchange& deletion = m_host.exchanges().at(m_deletions.first());
    QCOMPARE(requestLine(deletion), "POST /a/del/" + QByteArray::number(m_stored) + " HTTP/1.1");
    QVERIFY(deletion.header("X-Api-Key").isNull());
    QVERIFY(deletion.header("Authorization").isNull());
    QVERIFY(deletion.header("Cookie").isNull());

    // A host that wants its page used: the page opens in the browser and the entry stays.
    QVERIFY(import("xml-reply", "Drawer"));
    const QString second = takeShot({100, 100}, {180, 160});
    QVERIFY(!second.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(listedShares().size(), 1, kPatience);
    QTRY_VERIFY_WITH_TIMEOUT(listedShares().at(0).toObject().contains("thumbnail"), kPatience);
    const QString removal = listedShares().at(0).toObject().value("deletion_url").toString();
    QVERIFY(deleteNewestShare());
    QTRY_COMPARE_WITH_TIMEOUT(opened(), QStringList{removal}, kPatience);
    QTRY_VERIFY_WITH_TIMEOUT(
        m_program->errorOutput().contains(
            "balloon Information Drawer did not delete the share at once: its deletion page "
            "is open in your browser"),
        kPatience);
    QCOMPARE(m_deletions.size(), 2);
    QVERIFY(m_host.exchanges().at(m_deletions.last()).header("Authorization").isNull());
    QCOMPARE(listedShares().size(), 1);
}

QTEST_MAIN(TestHosts)
#include "tst_hosts.moc"
