// The reference service's custom-uploader file, end to end on a private X session: an account
// made and signed in over HTTP makes a token on its history page, the file is taken from the
// page's data link and imported with --import-uploader, and a shot goes through it: the link on
// the clipboard serves the exact picture, and Delete under "Recent shares" takes it back through
// the file's deletion address. "Upload to" switches between the service and the import. A file
// the program will not send is refused at import with the reason.
#include "pattern.h"
#include "serviceprocess.h"
#include "x11session.h"

#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace BL::Test;

namespace {

constexpr int kPatience = 20000;
const QVariantMap kHelpSeen = {{"show_pre_help", true}, {"show_paste_help", true}};

// A form posted with the cookies a browser would send; the reply's body.
QByteArray postWithCookie(const QString& url, const QByteArray& form, const QByteArray& cookie)
{
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request{QUrl(url)};
    request.setRawHeader("Cookie", cookie);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
    QNetworkReply* reply = network.post(request, form);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    const QByteArray body = reply->isFinished() ? reply->readAll() : QByteArray();
    delete reply;
    return body;
}

QString captured(const QString& pattern, const QString& text)
{
    return QRegularExpression(pattern).match(text).captured(1);
}

} // namespace

class TestUploaders : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void roundTripThroughTheServicesUploaderFile();

private:
    // Signs up and in over HTTP, makes the token `name` on the history page and returns the
    // custom-uploader file its page offers, as downloaded.
    QByteArray uploaderFileFromHistoryPage(const QString& name);
    bool walkTrayMenu(const QStringList& keys) { return BL::Test::walkTrayMenu(*m_program, keys); }
    QString storedDestination() const
    {
        return QSettings(m_user->filePath("config/Brightloom/Brightloom.conf"), QSettings::IniFormat)
            .value("upload_destination")
            .toString();
    }
    QJsonArray listedShares() const;
    int logCount(const QString& text) { return m_program->errorOutput().count(text); }

    QTemporaryDir m_root;
    CServiceProcess m_service;
    std::unique_ptr<CPatternWindow> m_pattern;
    std::unique_ptr<QTemporaryDir> m_user;
    std::unique_ptr<CProgram> m_program;
};

void TestUploaders::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(m_service.start(m_root.filePath("service")), qPrintable(m_service.log()));
    m_pattern = std::make_unique<CPatternWindow>();
    // Below the tray host's strip at the top, which must stay clickable.
    m_pattern->setGeometry(0, 40, 1280, 760);
    m_pattern->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_pattern.get()));
    QTRY_COMPARE(m_pattern->mapToGlobal(QPoint(0, 0)), QPoint(0, 40));
}

void TestUploaders::cleanupTestCase()
{
    m_pattern.reset();
    m_service.stop();
}

void TestUploaders::cleanup()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
    xdotool({"key", "Escape"});
}

QByteArray TestUploaders::uploaderFileFromHistoryPage(const QString& name)
{
    const QString base = m_service.baseUrl();
    const QByteArray account = "email=cy%40example.org&password=cy-secret-4";
    if (httpSubmitForm(base + "/signup", account).status != 200)
        return QByteArray();
    const SHttpResult signIn = httpSubmitForm(base + "/user/history", account);
    if (signIn.status != 303)
        return QByteArray();
    const QByteArray session = signIn.setCookie.left(signIn.setCookie.indexOf(';'));
    const SHttpResult history = httpGet(base + "/user/history", session);
    const QString page = QString::fromUtf8(history.body);
    const QString csrf = captured(QStringLiteral("name=\"csrf\" value=\"([^\"]*)\""), page);
    const QString formCookie =
        captured(QStringLiteral("(bl_form=[A-Za-z0-9]+)"), QString::fromLatin1(history.setCookie));
    const QByteArray cookies = session + (formCookie.isEmpty() ? QByteArray() : "; " + formCookie.toLatin1());
    const QString made = QString::fromUtf8(
        postWithCookie(base + "/user/tokens",
                       "name=" + QUrl::toPercentEncoding(name) + "&csrf=" + csrf.toLatin1(), cookies));
    const QString link = captured(
        QStringLiteral("href=\"data:application/json;charset=utf-8,([^\"]+)\" download=\"[^\"]+\\.sxcu\""),
        made);
    return QUrl::fromPercentEncoding(
               QString(link).replace(QStringLiteral("&amp;"), QStringLiteral("&")).toUtf8())
        .toUtf8();
}

QJsonArray TestUploaders::listedShares() const
{
    QFile file(m_user->filePath("data/brightloom/shares/shares.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("shares")).toArray();
}

// Up seven times from the top: "&Quit", "&About", "Check for &Updates", "Text languages",
// "Copy te&xt from area", "Ex&pire new shares" and, with "R&ecent shares" greyed out while it is
// empty, "Upload &to"; Right opens it on "&Brightloom".
static const QStringList kUploadTo = {"Up", "Up", "Up", "Up", "Up", "Up", "Up", "Right"};
// With a share listed, Up seven times reaches "R&ecent shares"; Right opens it on its newest
// entry, Right again that entry's own menu.
static const QStringList kNewestShare = {"Up", "Up", "Up", "Up", "Up", "Up", "Up", "Right", "Right"};

void TestUploaders::roundTripThroughTheServicesUploaderFile()
{
    const QByteArray file = uploaderFileFromHistoryPage(QStringLiteral("Desk laptop"));
    QVERIFY2(file.contains("\"Authorization\""), file.constData());
    m_user = std::make_unique<QTemporaryDir>();
    const QString fileName = m_user->filePath("Desk-laptop.sxcu");
    {
        QFile out(fileName);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file) == file.size());
    }
    QProcessEnvironment env = privateUserEnvironment(m_user->path());
    env.insert(QStringLiteral("BL_SERVICE_HOST"), m_service.host());
    m_program = startDockedProgram(m_user->path(), env, kHelpSeen);
    QVERIFY(m_program);

    // A file that would send the picture somewhere other than the web is refused, with why.
    QByteArray local = file;
    local.replace(m_service.baseUrl().toUtf8() + "/api/pictures", "file:///tmp/pictures");
    const QString localName = m_user->filePath("local.sxcu");
    {
        QFile out(localName);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(local) == local.size());
    }
    CProgram refused(env);
    QVERIFY(refused.start({"--import-uploader", localName}) && refused.waitForExit(10000));
    QCOMPARE(refused.exitCode(), 2);
    QVERIFY2(refused.errorOutput().contains("the request address must be an http or https address: file:"),
             qPrintable(refused.errorOutput()));

    CProgram importer(env);
    QVERIFY(importer.start({"--import-uploader", fileName}) && importer.waitForExit(10000));
    QCOMPARE(importer.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("Uploads now go to Desk laptop."), kPatience);
    QVERIFY(!m_program->errorOutput().contains("local"));
    QTRY_COMPARE_WITH_TIMEOUT(storedDestination(), QStringLiteral("Desk laptop"), kPatience);

    // "Upload to" goes back to the service and then to the import again (no shares yet).
    QVERIFY(walkTrayMenu(kUploadTo + QStringList{"Return"}));
    QTRY_COMPARE_WITH_TIMEOUT(storedDestination(), QString(), kPatience);
    QVERIFY(walkTrayMenu(kUploadTo + QStringList{"Down", "Return"}));
    QTRY_COMPARE_WITH_TIMEOUT(storedDestination(), QStringLiteral("Desk laptop"), kPatience);

    // A shot through the file: the link is the service's, and serves the very picture.
    xdotool({"key", "ctrl+alt+p"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kPatience);
    drag({100, 100}, {300, 250});
    QString link;
    QTRY_VERIFY_WITH_TIMEOUT(!(link = clipboard()).isEmpty(), kPatience);
    QVERIFY2(QRegularExpression(
                 QStringLiteral("^http://127\\.0\\.0\\.1:%1/[A-Za-z0-9]{8,}$").arg(m_service.port()))
                 .match(link)
                 .hasMatch(),
             qPrintable(link));
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("Screenshot succesfully uploaded."),
                             kPatience);
    const SHttpResult picture = httpGet(link + QStringLiteral(".png"));
    QCOMPARE(picture.status, 200);
    const QImage image = QImage::fromData(picture.body, "PNG");
    QCOMPARE(image.size(), QSize(201, 151));
    const QString mismatch = patternMismatch(image, {100, 100});
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    // No reservation went to the service for it: the token's upload is the only way it came.
    QVERIFY(!m_program->errorOutput().contains("perf clipboard"));

    QTRY_COMPARE_WITH_TIMEOUT(listedShares().size(), 1, kPatience);
    const QJsonObject listed = listedShares().at(0).toObject();
    QCOMPARE(listed.value("link").toString(), link);
    QCOMPARE(listed.value("thumbnail_url").toString(), link + QStringLiteral("-thumb.png"));
    QVERIFY(listed.value("deletion_url").toString().startsWith(m_service.baseUrl() + "/delete/"));
    // The thumbnail first: its arrival rebuilds the menu, which must not happen under the open
    // delete question.
    QTRY_VERIFY_WITH_TIMEOUT(listedShares().at(0).toObject().contains("thumbnail"), kPatience);

    // Recent shares -> Delete: a bare POST to the deletion address takes it back at the service.
    QVERIFY(walkTrayMenu(kNewestShare + QStringList{"Down", "Down", "Return"})); // "&Delete..."
    QVERIFY(confirmDeletion(*m_program, 0, kPatience));
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("balloon Information The share was deleted."),
                             kPatience);
    QCOMPARE(httpGet(link).status, 410);
    QCOMPARE(httpGet(link + QStringLiteral(".png")).status, 410);
    QTRY_COMPARE_WITH_TIMEOUT(listedShares().size(), 0, kPatience);
}

QTEST_MAIN(TestUploaders)
#include "tst_uploaders.moc"
