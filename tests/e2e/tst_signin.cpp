// Signing in with the real program on a private X session against the real service: the
// dialog through the tray menu and typed keys, the remembered login across a restart and an
// outage, sign-out, and the web pages handed to the browser.
#include "serviceprocess.h"
#include "x11session.h"

#include <QCryptographicHash>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

using namespace BL::Test;

namespace {

const QString kAnn = QStringLiteral("ann@example.org");
const QString kAnnPassword = QStringLiteral("ann-secret-7");
const QString kBob = QStringLiteral("bob@example.org");
const QString kBobPassword = QStringLiteral("bob-secret-8");
const QString kSignInTitle = QStringLiteral("Brightloom ~ Sign In");

QString clientHash(const QString& email, const QString& password)
{
    return QString::fromLatin1(
        QCryptographicHash::hash((email + password).toUtf8(), QCryptographicHash::Sha1).toHex());
}

void typeText(const QString& text)
{
    xdotool({"type", "--delay", "40", text});
}

void keys(const QStringList& names)
{
    xdotool(QStringList{"key", "--delay", "120"} + names);
}

// Red pixels in a window: the "Invalid e-mail address" label is the only red thing there.
int redPixels(const QString& windowId)
{
    const QRect r = windowGeometry(windowId);
    const QImage image =
        QGuiApplication::primaryScreen()->grabWindow(0, r.x(), r.y(), r.width(), r.height()).toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 200 && c.green() < 90 && c.blue() < 90)
                ++count;
        }
    return count;
}

// The history page of an account, signed in on the web page with its e-mail and password.
QString historyPage(const QString& base, const QString& email, const QString& password)
{
    const SHttpResult signIn =
        httpSubmitForm(base + "/user/history", "email=" + QUrl::toPercentEncoding(email) +
                                                   "&password=" + QUrl::toPercentEncoding(password));
    if (signIn.status != 303)
        return QString();
    const QByteArray cookie = signIn.setCookie.left(signIn.setCookie.indexOf(';'));
    return QString::fromUtf8(httpGet(base + "/user/history", cookie).body);
}

} // namespace

class TestSignIn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void dialogRememberRestartAndSignOut();
    void signInWithoutRememberStoresNothing();
    void offlineStartKeepsTheRememberedUser();
    void webPagesGoToTheBrowser();

private:
    // Starts the program as the current test user, with `settings` stored beforehand and PATH
    // holding only `pathDir` (where the browser opener may or may not be).
    bool startProgram(const QVariantMap& settings, const QString& serviceHost, const QString& pathDir);
    QString settingsPath() const
    {
        return m_user->path() + QStringLiteral("/config/Brightloom/Brightloom.conf");
    }
    QVariant stored(const QString& key) const
    {
        return QSettings(settingsPath(), QSettings::IniFormat).value(key);
    }
    bool storesUser() const
    {
        const QSettings settings(settingsPath(), QSettings::IniFormat);
        return settings.contains("user_name") || settings.contains("user_hash");
    }
    QString log() const { return m_program->errorOutput(); }
    // Every URL the recording opener was given, in order.
    QStringList opened() const;
    // Picks "&Quit", the last entry, and waits for the program to end.
    bool quitFromMenu();
    // The link of a single shot, once its upload is acknowledged.
    QString shootAndUpload();
    // Types into the sign-in dialog: address, password, the remember box as wanted, Sign In.
    void fillDialog(const QString& email, const QString& password, bool remember);

    QTemporaryDir m_root;
    QString m_openerDir;
    QString m_emptyDir;
    CServiceProcess m_service;
    std::unique_ptr<QTemporaryDir> m_user;
    std::unique_ptr<CProgram> m_program;
};

void TestSignIn::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(m_service.start(m_root.filePath("service")), qPrintable(m_service.log()));
    for (const auto& [email, password] : {std::pair{kAnn, kAnnPassword}, std::pair{kBob, kBobPassword}}) {
        const SHttpResult signUp = httpSubmitForm(m_service.baseUrl() + "/signup",
                                                  "email=" + QUrl::toPercentEncoding(email) +
                                                      "&password=" + QUrl::toPercentEncoding(password));
        QCOMPARE(signUp.status, 200);
    }

    // A browser stand-in that only writes down what it was asked to open.
    m_openerDir = m_root.filePath("opener");
    m_emptyDir = m_root.filePath("empty");
    QVERIFY(QDir().mkpath(m_openerDir) && QDir().mkpath(m_emptyDir));
    QFile opener(m_openerDir + "/xdg-open");
    QVERIFY(opener.open(QIODevice::WriteOnly));
    opener.write("#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + m_root.filePath("opened.txt").toUtf8() + "'\n");
    opener.close();
    QVERIFY(opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void TestSignIn::cleanupTestCase()
{
    m_service.stop();
}

void TestSignIn::init()
{
    m_user = std::make_unique<QTemporaryDir>();
    QFile::remove(m_root.filePath("opened.txt"));
}

void TestSignIn::cleanup()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
    xdotool({"key", "Escape"});
}

bool TestSignIn::startProgram(const QVariantMap& settings, const QString& serviceHost, const QString& pathDir)
{
    QProcessEnvironment env = privateUserEnvironment(m_user->path());
    env.insert(QStringLiteral("BL_SERVICE_HOST"), serviceHost);
    env.insert(QStringLiteral("PATH"), pathDir);
    env.remove(QStringLiteral("BROWSER"));
    env.remove(QStringLiteral("DEFAULT_BROWSER"));
    {
        QSettings stored(settingsPath(), QSettings::IniFormat);
        stored.setValue("show_pre_help", true);
        stored.setValue("show_paste_help", true);
        for (auto it = settings.cbegin(); it != settings.cend(); ++it)
            stored.setValue(it.key(), it.value());
    }
    const QStringList before = trayIconWindows();
    m_program = std::make_unique<CProgram>(env);
    return m_program->start() && !m_program->waitForTrayIcon(before).isEmpty();
}

QStringList TestSignIn::opened() const
{
    QFile file(m_root.filePath("opened.txt"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

bool TestSignIn::quitFromMenu()
{
    // The greeting's balloon gone first: a menu under it may lose its keys.
    return waitForTrayAtRest() && quitFromTrayMenu(*m_program);
}

QString TestSignIn::shootAndUpload()
{
    const QString before = clipboard();
    const int done = log().count("Screenshot succesfully uploaded.");
    xdotool({"key", "ctrl+alt+p"});
    if (!QTest::qWaitFor([] { return programOverlayShown(); }, 10000))
        return QString();
    drag({100, 120}, {260, 220});
    if (!QTest::qWaitFor([&] { return log().count("Screenshot succesfully uploaded.") > done; }, 20000))
        return QString();
    const QString link = clipboard();
    return link != before ? link : QString();
}

void TestSignIn::fillDialog(const QString& email, const QString& password, bool remember)
{
    // The address field has the focus when the dialog opens.
    keys({"ctrl+a"});
    typeText(email);
    keys({"Tab", "ctrl+a"});
    typeText(password);
    keys(remember ? QStringList{"Tab", "space", "Tab", "space"} : QStringList{"Tab", "Tab", "space"});
}

void TestSignIn::dialogRememberRestartAndSignOut()
{
    QVERIFY(startProgram({}, m_service.host(), m_openerDir));
    QTRY_VERIFY(log().contains("user status: signed out, entry Sign in"));
    QVERIFY(log().contains("without History"));

    QVERIFY(chooseTrayEntry(*m_program, 3)); // "Sign in…" (History is hidden)
    const QString dialog = waitForWindow(kSignInTitle);
    QVERIFY(!dialog.isEmpty());
    QCOMPARE(redPixels(dialog), 0);

    // Not an address: the red label, and nothing goes to the service.
    fillDialog(QStringLiteral("ann@example"), kAnnPassword, false);
    QTRY_VERIFY_WITH_TIMEOUT(redPixels(dialog) > 20, 5000);

    // A wrong password: the service's refusal in a box; the dialog stays.
    keys({"shift+Tab", "shift+Tab", "shift+Tab"});
    fillDialog(kAnn, QStringLiteral("wrong-password"), false);
    QTRY_VERIFY_WITH_TIMEOUT(
        log().contains("message box Critical: Login failed: username or password doesn't "
                       "match. Please try again."),
        10000);
    QTRY_VERIFY(m_service.log().contains("\"POST /api/check_hash\" 200"));
    // Only this attempt asked the service: the address before it was refused at home.
    QCOMPARE(m_service.log().count("POST /api/check_hash"), 1);
    QVERIFY(!waitForWindow(QStringLiteral("Brightloom")).isEmpty());
    keys({"Return"});
    QTRY_VERIFY(visibleWindowsNamed("^Brightloom$").isEmpty());
    QVERIFY(!waitForWindow(kSignInTitle).isEmpty());
    QVERIFY(!log().contains("Signed in as"));
    QVERIFY(!storesUser());

    // The right one, remembered: the dialog closes, the balloon greets, History appears.
    QCOMPARE(redPixels(waitForWindow(kSignInTitle)), 0);
    keys({"shift+Tab", "shift+Tab", "shift+Tab"});
    fillDialog(kAnn, kAnnPassword, true);
    QTRY_VERIFY_WITH_TIMEOUT(log().contains("balloon Information Signed in as ann@example.org."), 10000);
    QTRY_VERIFY(visibleWindowsNamed("^" + kSignInTitle + "$").isEmpty());
    QVERIFY(log().contains("user status: signed in, entry Sign out with History"));
    QCOMPARE(stored("user_name").toString(), kAnn);
    QCOMPARE(stored("user_hash").toString(), clientHash(kAnn, kAnnPassword));

    QVERIFY(waitForTrayAtRest());            // the greeting's balloon gone
    QVERIFY(chooseTrayEntry(*m_program, 3)); // "&History", visible now
    QTRY_COMPARE(opened(), QStringList{m_service.baseUrl() + "/user/history"});

    // Quit and start again: signed in without any dialog; the upload goes to Ann's account.
    QVERIFY(quitFromMenu());
    QVERIFY(startProgram({}, m_service.host(), m_openerDir));
    QTRY_VERIFY_WITH_TIMEOUT(log().contains("balloon Information Signed in as ann@example.org."), 10000);
    QVERIFY(visibleWindowsNamed("^" + kSignInTitle + "$").isEmpty());
    QVERIFY(!log().contains("message box"));
    const QString link = shootAndUpload();
    QVERIFY2(!link.isEmpty(), qPrintable(log()));
    const QString code = link.section('/', -1);
    QVERIFY(historyPage(m_service.baseUrl(), kAnn, kAnnPassword).contains("href=\"/" + code + "\""));
    const QString bobs = historyPage(m_service.baseUrl(), kBob, kBobPassword);
    QVERIFY(bobs.contains("Your uploads"));
    QVERIFY(!bobs.contains(code));

    // "Sign out" forgets the remembered pair at once. The menu is used once the upload's balloon
    // is gone.
    QVERIFY(storesUser());
    QVERIFY(waitForTrayAtRest());
    QVERIFY(chooseTrayEntry(*m_program, 4));
    QTRY_VERIFY(!storesUser());
    QTRY_VERIFY(log().contains("user status: signed out, entry Sign in"));
    QVERIFY(m_program->isRunning());
}

void TestSignIn::signInWithoutRememberStoresNothing()
{
    // A name left without its hash does not sign in; it is dropped at the next write.
    QVERIFY(startProgram({{"user_name", kBob}}, m_service.host(), m_openerDir));
    QTRY_VERIFY(log().contains("user status: signed out"));
    QCOMPARE(stored("user_name").toString(), kBob);

    QVERIFY(chooseTrayEntry(*m_program, 3));
    QVERIFY(!waitForWindow(kSignInTitle).isEmpty());
    fillDialog(kAnn, kAnnPassword, false);
    QTRY_VERIFY_WITH_TIMEOUT(log().contains("balloon Information Signed in as ann@example.org."), 10000);
    // Written by the sign-in itself, not by a later write.
    QVERIFY(!storesUser());
    QVERIFY(log().contains("user status: signed in, entry Sign out with History"));

    QVERIFY(quitFromMenu());
    QVERIFY(startProgram({}, m_service.host(), m_openerDir));
    QTRY_VERIFY(log().contains("user status: signed out"));
    QVERIFY(!log().contains("Signed in as"));
}

void TestSignIn::offlineStartKeepsTheRememberedUser()
{
    // A service of its own, stopped before the program starts and started again on its port.
    CServiceProcess service;
    const QString data = m_root.filePath("offline-service");
    QVERIFY2(service.start(data), qPrintable(service.log()));
    QCOMPARE(
        httpSubmitForm(service.baseUrl() + "/signup", "email=ann%40example.org&password=ann-secret-7").status,
        200);
    const int port = service.port();
    service.stop();

    const QString hash = clientHash(kAnn, kAnnPassword);
    QVERIFY(startProgram({{"user_name", kAnn}, {"user_hash", hash}}, QStringLiteral("127.0.0.1:%1").arg(port),
                         m_openerDir));
    QTRY_VERIFY_WITH_TIMEOUT(
        log().contains("balloon Warning Could not reach the service to sign in as ann@example.org."), 10000);
    // A box the failure asked for would be up before the program handles a later click.
    QVERIFY(glanceAtTrayMenu(*m_program));
    QVERIFY(!log().contains("message box"));
    QVERIFY(visibleWindowsNamed("^Brightloom$").isEmpty());
    QVERIFY(log().contains("user status: signed out"));
    QCOMPARE(stored("user_name").toString(), kAnn);
    QCOMPARE(stored("user_hash").toString(), hash);

    QVERIFY2(service.start(data, {"--listen", QStringLiteral("127.0.0.1:%1").arg(port)}),
             qPrintable(service.log()));
    QCOMPARE(service.port(), port);
    QTRY_VERIFY_WITH_TIMEOUT(log().contains("balloon Information Signed in as ann@example.org."), 60000);
    QVERIFY(log().contains("user status: signed in, entry Sign out with History"));
    QVERIFY(!log().contains("message box"));
    QCOMPARE(stored("user_hash").toString(), hash);
    QCOMPARE(log().count("balloon Warning"), 1);
}

void TestSignIn::webPagesGoToTheBrowser()
{
    QVERIFY(startProgram({}, m_service.host(), m_openerDir));
    QVERIFY(chooseTrayEntry(*m_program, 3));
    QVERIFY(!waitForWindow(kSignInTitle).isEmpty());
    keys({"Tab", "Tab", "Tab", "Tab", "space"}); // "Registration"
    QTRY_COMPARE(opened(), QStringList{m_service.baseUrl() + "/signup"});
    QVERIFY(!waitForWindow(kSignInTitle).isEmpty());
    keys({"Escape"});
    QTRY_VERIFY(visibleWindowsNamed("^" + kSignInTitle + "$").isEmpty());
    QVERIFY(quitFromMenu());

    // No browser to be found: the warning box, and nothing else.
    QFile::remove(m_root.filePath("opened.txt"));
    QVERIFY(startProgram({}, m_service.host(), m_emptyDir));
    QVERIFY(chooseTrayEntry(*m_program, 3));
    QVERIFY(!waitForWindow(kSignInTitle).isEmpty());
    keys({"Tab", "Tab", "Tab", "Tab", "space"});
    QVERIFY(!waitForWindow(QStringLiteral("Brightloom: Warning")).isEmpty());
    // Written before the box shows, but read from the program's pipe only as it comes.
    QTRY_VERIFY(log().contains("message box Warning: no web browser for " + m_service.baseUrl() + "/signup"));
    keys({"Return"});
    QTRY_VERIFY(visibleWindowsNamed("^Brightloom: Warning$").isEmpty());
    QVERIFY(opened().isEmpty());
    QVERIFY(!waitForWindow(kSignInTitle).isEmpty());
    keys({"Escape"});
    QTRY_VERIFY(visibleWindowsNamed("^" + kSignInTitle + "$").isEmpty());
    QVERIFY(m_program->isRunning());
}

QTEST_MAIN(TestSignIn)
#include "tst_signin.moc"
