// Signing in offscreen against the real service and a scripted one on loopback: a remembered
// login outlives an outage and signs in by itself afterwards, only the service's "no" ends the
// remembering, a login from the dialog fails at once, and the settings follow the choice.
#include "api/user.h"
#include "app/usersession.h"
#include "serviceprocess.h"
#include "testhttpserver.h"

#include <QLoggingCategory>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using BL::Test::CServiceProcess;

namespace {

// Everything the session told the main widget, in order.
struct SRecorder
{
    QStringList events;

    BL::App::SSignInNotifier notifier()
    {
        BL::App::SSignInNotifier n;
        n.accepted = [this] { events << QStringLiteral("accepted"); };
        n.refused = [this](const QString& e) { events << QStringLiteral("refused: ") + e; };
        n.unreachable = [this](const QString& e) { events << QStringLiteral("unreachable: ") + e; };
        return n;
    }
};

// A loopback port nobody listens on.
int closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const int port = probe.serverPort();
    probe.close();
    return port;
}

// The app's log lines: the session drops a stale answer without a word to the person.
const QString kStaleAnswer = QStringLiteral("a sign-in answered after a newer one or a sign-out: ignored");
QStringList g_appLines;
QtMessageHandler g_previousHandler = nullptr;

void recordAppLines(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (qstrcmp(context.category, "brightloom.app") == 0)
        g_appLines << text;
    if (g_previousHandler)
        g_previousHandler(type, context, text);
}

void useService(const QString& host)
{
    qputenv("BL_SERVICE_HOST", host.toLatin1());
}

} // namespace

class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void rememberedLoginOutlivesAnOutage();
    void silentServiceCountsAsUnreachableUntilRetriedNow();
    void serviceRefusalEndsTheRemembering();
    void dialogLoginFailsAtOnceWithoutService();
    void onlyTheLatestLoginCounts();
    void settingsFollowTheRememberChoice();

private:
    QSettings* settings() { return m_settings.get(); }
    QString storedUserName()
    {
        return QSettings(m_dir.filePath("user.conf"), QSettings::IniFormat).value("user_name").toString();
    }
    bool storedUser()
    {
        QSettings stored(m_dir.filePath("user.conf"), QSettings::IniFormat);
        return stored.contains("user_name") || stored.contains("user_hash");
    }

    QTemporaryDir m_dir;
    CServiceProcess m_service;
    std::unique_ptr<QSettings> m_settings;
    const QString m_email = QStringLiteral("ann@example.org");
    const QString m_password = QStringLiteral("secret-one");
};

void TestSession::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("brightloom.app.debug=true"));
    g_previousHandler = qInstallMessageHandler(recordAppLines);
    QVERIFY(m_dir.isValid());
    QVERIFY2(m_service.start(m_dir.filePath("service")), qPrintable(m_service.log()));
    QCOMPARE(BL::Test::httpSubmitForm(m_service.baseUrl() + "/signup",
                                      "email=ann%40example.org&password=secret-one")
                 .status,
             200);
}

void TestSession::init()
{
    CUser::instance()->signOut();
    QFile::remove(m_dir.filePath("user.conf"));
    m_settings = std::make_unique<QSettings>(m_dir.filePath("user.conf"), QSettings::IniFormat);
    useService(m_service.host());
}

void TestSession::cleanupTestCase()
{
    m_service.stop();
}

void TestSession::rememberedLoginOutlivesAnOutage()
{
    settings()->setValue("user_name", m_email);
    settings()->setValue("user_hash", CUser::computeHash(m_email, m_password));
    QVERIFY(CUser::instance()->load(settings()));
    SRecorder recorder;
    BL::App::CUserSession session(settings(), recorder.notifier(), nullptr);
    session.setRetryDelays(200, 800);

    // Nobody listening: the user is kept, told once, and tried again later.
    useService(QStringLiteral("127.0.0.1:%1").arg(closedPort()));
    session.signWithHash(CUser::instance()->userHash());
    QTRY_COMPARE(recorder.events.size(), 1);
    QVERIFY2(recorder.events[0].startsWith("unreachable: Login failed.\nNetwork error #1:"),
             qPrintable(recorder.events[0]));
    QVERIFY(session.retryPending());
    QVERIFY(!CUser::instance()->isSignedIn());
    QVERIFY(CUser::instance()->isRemembered());
    QCOMPARE(CUser::instance()->userInfo().userName, m_email);
    QCOMPARE(CUser::instance()->userHash(), CUser::computeHash(m_email, m_password));

    // A service in trouble (5xx, then too many attempts): still no answer, retries back off.
    CTestHttpServer troubled;
    QVERIFY(troubled.listen());
    troubled.setHandler([](CTestHttpServer& server, int index) {
        server.respond(index, index < 2 ? CTestHttpServer::response(503, "{}")
                                        : CTestHttpServer::response(429, R"({"status":"error"})"));
    });
    useService(troubled.hostAndPort());
    QTRY_VERIFY_WITH_TIMEOUT(troubled.exchanges().size() >= 4, 15000);
    QCOMPARE(session.nextRetryDelayMs(), 800);
    QCOMPARE(recorder.events.size(), 1);
    QVERIFY(CUser::instance()->isRemembered());
    QVERIFY(troubled.exchanges().at(0).body.startsWith("hash=" + CUser::instance()->userHash().toLatin1()));

    // The service answers again: signed in without anyone asking.
    useService(m_service.host());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 2, 10000);
    QCOMPARE(recorder.events[1], QStringLiteral("accepted"));
    session.confirm();
    QVERIFY(CUser::instance()->isSignedIn());
    QVERIFY(!session.retryPending());
    QCOMPARE(storedUserName(), m_email);
}

void TestSession::silentServiceCountsAsUnreachableUntilRetriedNow()
{
    settings()->setValue("user_name", m_email);
    settings()->setValue("user_hash", CUser::computeHash(m_email, m_password));
    QVERIFY(CUser::instance()->load(settings()));
    CTestHttpServer silent;
    QVERIFY(silent.listen());
    silent.setHandler([](CTestHttpServer&, int) {});
    useService(silent.hostAndPort());
    SRecorder recorder;
    BL::App::CUserSession session(settings(), recorder.notifier(), nullptr);
    session.setAnswerTimeout(300);
    session.setRetryDelays(60000, 60000);
    session.signWithHash(CUser::instance()->userHash());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 1, 10000);
    QVERIFY2(recorder.events[0].startsWith("unreachable: Login failed.\nNetwork error #"),
             qPrintable(recorder.events[0]));
    QVERIFY(session.retryPending());
    QVERIFY(CUser::instance()->isRemembered());

    // Another request got through (an upload, say): the waiting login need not sit out its delay.
    useService(m_service.host());
    session.retryNow();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 2, 5000);
    QCOMPARE(recorder.events[1], QStringLiteral("accepted"));
}

void TestSession::serviceRefusalEndsTheRemembering()
{
    settings()->setValue("user_name", m_email);
    settings()->setValue("user_hash", CUser::computeHash(m_email, "not-the-password"));
    QVERIFY(CUser::instance()->load(settings()));
    SRecorder recorder;
    BL::App::CUserSession session(settings(), recorder.notifier(), nullptr);
    session.setRetryDelays(100, 100);
    session.signWithHash(CUser::instance()->userHash());
    QTRY_COMPARE(recorder.events.size(), 1);
    QCOMPARE(recorder.events[0],
             QStringLiteral("refused: Login failed: username or password doesn't match.\nPlease try again."));
    QVERIFY(!session.retryPending());
    session.drop();
    QVERIFY(!CUser::instance()->isRemembered());
    QVERIFY(CUser::instance()->userInfo().userName.isEmpty());
    // The settings follow at their next write, not here.
    QVERIFY(storedUser());
    CUser::instance()->save(settings());
    settings()->sync();
    QVERIFY(!storedUser());
    // The retry timer is the only way back to the service, and it stands still.
    QVERIFY(!session.retryPending());
    QCOMPARE(recorder.events.size(), 1);
}

void TestSession::dialogLoginFailsAtOnceWithoutService()
{
    useService(QStringLiteral("127.0.0.1:%1").arg(closedPort()));
    SRecorder recorder;
    BL::App::CUserSession session(settings(), recorder.notifier(), nullptr);
    session.setRetryDelays(100, 100);
    session.signIn(m_email, m_password, true);
    QTRY_COMPARE(recorder.events.size(), 1);
    QVERIFY2(recorder.events[0].startsWith("refused: Login failed.\nNetwork error #1:"),
             qPrintable(recorder.events[0]));
    QVERIFY(!session.retryPending());
}

void TestSession::onlyTheLatestLoginCounts()
{
    CTestHttpServer held;
    QVERIFY(held.listen());
    held.setHandler([](CTestHttpServer& server, int index) {
        if (index == 1)
            server.respond(index, CTestHttpServer::response(200, R"({"exists":false})"));
    });
    useService(held.hostAndPort());
    SRecorder recorder;
    BL::App::CUserSession session(settings(), recorder.notifier(), nullptr);
    session.signIn(m_email, m_password, false);
    QTRY_COMPARE(held.exchanges().size(), 1);
    session.signIn(m_email, QStringLiteral("typo"), false);
    QTRY_COMPARE(recorder.events.size(), 1);
    QVERIFY(recorder.events[0].startsWith("refused: "));
    // The first login's late yes must not sign in the person who has just been refused.
    g_appLines.clear();
    held.respond(0, CTestHttpServer::response(200, R"({"exists":true})"));
    QTRY_VERIFY(g_appLines.contains(kStaleAnswer));
    QCOMPARE(recorder.events.size(), 1);

    // Nor may a login still under way sign the person back in after a sign-out.
    held.setHandler([](CTestHttpServer&, int) {});
    session.signIn(m_email, m_password, false);
    QTRY_COMPARE(held.exchanges().size(), 3);
    session.signOut();
    g_appLines.clear();
    held.respond(2, CTestHttpServer::response(200, R"({"exists":true})"));
    QTRY_VERIFY(g_appLines.contains(kStaleAnswer));
    QCOMPARE(recorder.events.size(), 1);
}

void TestSession::settingsFollowTheRememberChoice()
{
    // Remembered from an earlier run; this time the person signs in without "Remember me".
    settings()->setValue("user_name", QStringLiteral("old@example.org"));
    settings()->setValue("user_hash", CUser::computeHash("old@example.org", "x"));
    settings()->sync();
    SRecorder recorder;
    BL::App::CUserSession session(settings(), recorder.notifier(), nullptr);
    session.signIn(m_email, m_password, false);
    QTRY_COMPARE(recorder.events, QStringList{"accepted"});
    session.confirm();
    QVERIFY(!storedUser());

    session.signIn(m_email, m_password, true);
    QTRY_COMPARE(recorder.events.size(), 2);
    session.confirm();
    QCOMPARE(storedUserName(), m_email);
    session.signOut();
    QVERIFY(!storedUser());
    QVERIFY(!CUser::instance()->isSignedIn());
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
