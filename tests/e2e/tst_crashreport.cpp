// The real program on a private X session crashes; its report, with the signed-in user's name
// when there is one, reaches the real web service.
#include "serviceprocess.h"
#include "x11session.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/resource.h>

using namespace BL::Test;

namespace {

const QString kToken = QStringLiteral("e2e-operator-token-42");
const QString kEmail = QStringLiteral("crash.user@example.org");
const QString kPassword = QStringLiteral("secret-pass");

} // namespace

class TestCrashReport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void signedInCrashCarriesTheUser();
    void signedOutCrashCarriesNoUser();

private:
    // Starts the program as a fresh user, waits for its icon, sends SIGSEGV and returns the
    // program's standard error once it has died.
    QString crashProgram(const QTemporaryDir& user, const QVariantMap& settings, const QString& waitForLine,
                         int* signal);
    QJsonArray reports();

    QTemporaryDir m_data;
    CServiceProcess m_service;
};

void TestCrashReport::initTestCase()
{
    // The crashed programs leave no core files behind.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    QVERIFY(m_service.start(m_data.path(), {QStringLiteral("--admin-token"), kToken}));
    const QByteArray password = QUrl::toPercentEncoding(kPassword);
    const SHttpResult signUp = httpSubmitForm(m_service.baseUrl() + "/signup",
                                              "email=" + QUrl::toPercentEncoding(kEmail) +
                                                  "&password=" + password + "&password2=" + password);
    QCOMPARE(signUp.status, 200);
}

void TestCrashReport::cleanupTestCase()
{
    m_service.stop();
}

QString TestCrashReport::crashProgram(const QTemporaryDir& user, const QVariantMap& settings,
                                      const QString& waitForLine, int* signal)
{
    QProcessEnvironment env = privateUserEnvironment(user.path());
    env.insert(QStringLiteral("BL_SERVICE_HOST"), m_service.host());
    env.insert(QStringLiteral("BL_BREAKPAD_URL"), m_service.baseUrl() + QStringLiteral("/report"));
    env.remove(QStringLiteral("BL_DISABLE_BREAKPAD"));
    {
        QSettings stored(user.path() + QStringLiteral("/config/Brightloom/Brightloom.conf"),
                         QSettings::IniFormat);
        for (auto it = settings.cbegin(); it != settings.cend(); ++it)
            stored.setValue(it.key(), it.value());
    }
    const QStringList before = trayIconWindows();
    CProgram program(env);
    if (!program.start() || program.waitForTrayIcon(before).isEmpty())
        return QStringLiteral("program did not dock: ") + program.errorOutput();
    QDeadlineTimer ready(20000);
    while (!waitForLine.isEmpty() && !program.errorOutput().contains(waitForLine) && !ready.hasExpired())
        QTest::qWait(50);
    ::kill(pid_t(program.pid()), SIGSEGV);
    // The helper's upload is bounded well below this.
    program.waitForExit(90000);
    *signal = program.exitStatus() == QProcess::CrashExit ? program.exitCode() : 0;
    return program.errorOutput();
}

QJsonArray TestCrashReport::reports()
{
    const QString body =
        run(QStringLiteral("curl"), {"-s", "-H", "Authorization: Bearer " + kToken,
                                     m_service.baseUrl() + QStringLiteral("/admin/reports")});
    return QJsonDocument::fromJson(body.toUtf8()).array();
}

void TestCrashReport::signedInCrashCarriesTheUser()
{
    const QString hash = QString::fromLatin1(
        QCryptographicHash::hash(QString(kEmail + kPassword).toLocal8Bit(), QCryptographicHash::Sha1)
            .toHex());
    int signal = 0;
    QTemporaryDir user;
    // The sign-in balloon comes after the reporter has been told about the user.
    const QString errors = crashProgram(user, {{"user_name", kEmail}, {"user_hash", hash}},
                                        QStringLiteral("Signed in as %1.").arg(kEmail), &signal);
    QVERIFY2(errors.contains(QStringLiteral("Attaching user info to crash report: %1\n").arg(kEmail)),
             qPrintable(errors));
    QVERIFY2(
        errors.contains(QLatin1String("The result of a send of a Breakpad crash report: RESULT_SUCCEEDED")),
        qPrintable(errors));
    QCOMPARE(signal, SIGSEGV);
    QCOMPARE(QDir(user.path() + QStringLiteral("/data/brightloom/minidumps"))
                 .entryList({QStringLiteral("*.dmp")})
                 .size(),
             1);

    const QJsonArray listed = reports();
    QCOMPARE(listed.size(), 1);
    const QJsonObject report = listed.first().toObject();
    QCOMPARE(report.value("os_type").toString(), QStringLiteral("linux"));
    QVERIFY(!report.value("build_host_user").toString().isEmpty());
    QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+\\.\\d+$"))
                .match(report.value("ver").toString())
                .hasMatch());
    QCOMPARE(report.value("email").toString(), kEmail);
    QCOMPARE(report.value("signal").toInt(), SIGSEGV);
    // The program's own threads and modules are in the dump the service kept.
    QVERIFY(!report.value("frames").toArray().isEmpty());
    QVERIFY(QFileInfo(m_data.path() + QStringLiteral("/reports/") + report.value("dump").toString()).size() >
            1000);
}

void TestCrashReport::signedOutCrashCarriesNoUser()
{
    int signal = 0;
    QTemporaryDir user;
    const QString errors = crashProgram(user, {}, QString(), &signal);
    QVERIFY2(errors.contains(QLatin1String("Not attaching user info to crash report because it's missing")),
             qPrintable(errors));
    QCOMPARE(signal, SIGSEGV);
    const QJsonArray listed = reports();
    QCOMPARE(listed.size(), 2);
    const QJsonObject report = listed.first().toObject();
    QCOMPARE(report.value("email").toString(), QString());
    QCOMPARE(report.value("os_type").toString(), QStringLiteral("linux"));
    QCOMPARE(report.value("signal").toInt(), SIGSEGV);
}

QTEST_MAIN(TestCrashReport)
#include "tst_crashreport.moc"
