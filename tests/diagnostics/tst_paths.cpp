// Path patterns, the minidump directory and the directory guard with its exception.
#include "diagnostics/exceptions.h"
#include "diagnostics/paths.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

using BL::Exceptions::CCreateDirectoryException;

namespace {

QStringList g_debugLines;

void collectDebug(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtDebugMsg)
        g_debugLines << text;
}

// Runs `call` and returns the exception it threw; fails the test when none came.
template<typename F> bool throwsCreateDirectory(F call, QString* message, QString* reason, QString* what)
{
    try {
        call();
    } catch (const BL::Exceptions::CGenericException& generic) {
        const auto* e = dynamic_cast<const CCreateDirectoryException*>(&generic);
        if (!e)
            return false;
        *message = e->message();
        *reason = e->reason;
        *what = QString::fromUtf8(e->what());
        return true;
    }
    return false;
}

// A directory nobody, root included, may write to: read-only bits stop others, the
// immutable attribute stops root. Empty when the file system offers neither.
bool makeUnwritable(const QString& dir)
{
    if (::geteuid() != 0)
        return QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner);
    return QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), dir}) == 0 &&
           ::access(QFile::encodeName(dir).constData(), W_OK) != 0;
}

void makeWritable(const QString& dir)
{
    if (::geteuid() == 0)
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), dir});
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace

class TestPaths : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void resolvesPlaceholders();
    void minidumpDirectoryFollowsApplicationName();
    void guardRefusesWhatItCannotUse();
    void guardCreatesMissingLevelsOnce();
    void exceptionTextOutlivesTheCall();
};

void TestPaths::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("brightloom"));
    qInstallMessageHandler(collectDebug);
}

void TestPaths::init()
{
    g_debugLines.clear();
}

void TestPaths::resolvesPlaceholders()
{
    const QString home = QDir::homePath();
    const QString local = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    const QString config = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QVERIFY(!local.isEmpty() && !config.isEmpty() && local != config);

    QCOMPARE(resolvePath(QStringLiteral("<tmp>/x")), QDir::tempPath() + QStringLiteral("/x"));
    QCOMPARE(resolvePath(QStringLiteral("~/a~b")), home + QStringLiteral("/a") + home + QStringLiteral("b"));
    // Every occurrence of every placeholder; separators are left alone.
    QCOMPARE(resolvePath(QStringLiteral("<app_local_data_location>|<app_config_location>|<tmp>|<tmp>\\y")),
             local + QLatin1Char('|') + config + QLatin1Char('|') + QDir::tempPath() + QLatin1Char('|') +
                 QDir::tempPath() + QStringLiteral("\\y"));
    // Matching is case-sensitive, and nothing else is touched.
    QCOMPARE(resolvePath(QStringLiteral("<TMP>/<APP_LOCAL_DATA_LOCATION>")),
             QStringLiteral("<TMP>/<APP_LOCAL_DATA_LOCATION>"));
    QCOMPARE(resolvePath(QStringLiteral("plain/path")), QStringLiteral("plain/path"));
    QCOMPARE(resolvePath(QString()), QString());
}

void TestPaths::minidumpDirectoryFollowsApplicationName()
{
    QCOMPARE(minidumpDirectory(), QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
                                      QStringLiteral("/minidumps"));
    QVERIFY(minidumpDirectory().contains(QLatin1String("/brightloom/minidumps")));
    // Naming the directory creates nothing.
    QVERIFY(!QFileInfo::exists(minidumpDirectory()));
}

void TestPaths::guardRefusesWhatItCannotUse()
{
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    QString message, reason, what;

    // An empty path: nothing checked, nothing created, nothing logged.
    ensureDirectoryExists(QString());
    QVERIFY(g_debugLines.isEmpty());

    // A regular file where the directory should be.
    const QString file = scratch.filePath(QStringLiteral("minidumps"));
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QVERIFY(throwsCreateDirectory([&] { ensureDirectoryExists(file); }, &message, &reason, &what));
    QCOMPARE(reason, QStringLiteral("The path specified is not a directory"));
    QCOMPARE(message,
             QStringLiteral("Failed to create '%1', the reason: The path specified is not a directory.")
                 .arg(file));
    QCOMPARE(what, message);
    QVERIFY(QFileInfo(file).isFile());

    // A directory that cannot be written to.
    const QString locked = scratch.filePath(QStringLiteral("locked"));
    QVERIFY(QDir().mkdir(locked));
    if (!makeUnwritable(locked))
        QSKIP("this file system cannot make a directory unwritable for the current user");
    auto unlock = qScopeGuard([&] { makeWritable(locked); });
    QVERIFY(throwsCreateDirectory([&] { ensureDirectoryExists(locked); }, &message, &reason, &what));
    QCOMPARE(reason, QStringLiteral("The path specified is not writable for the current user"));
    // Nor can anything be created below it.
    const QString below = locked + QStringLiteral("/sub");
    QVERIFY(throwsCreateDirectory([&] { ensureDirectoryExists(below); }, &message, &reason, &what));
    QCOMPARE(reason, QStringLiteral("Unknown error"));
    QCOMPARE(message, QStringLiteral("Failed to create '%1', the reason: Unknown error.").arg(below));
    QVERIFY(g_debugLines.contains(QStringLiteral("Creating directory '%1'").arg(below)));
}

void TestPaths::guardCreatesMissingLevelsOnce()
{
    QTemporaryDir scratch;
    const QString deep = scratch.filePath(QStringLiteral("a/b/c"));
    ensureDirectoryExists(deep);
    QVERIFY(QFileInfo(deep).isDir());
    QCOMPARE(g_debugLines, QStringList{QStringLiteral("Creating directory '%1'").arg(deep)});

    // Existing and writable: nothing more to do or say.
    ensureDirectoryExists(deep);
    QCOMPARE(g_debugLines.size(), 1);
}

void TestPaths::exceptionTextOutlivesTheCall()
{
    const char* text = nullptr;
    try {
        throw CCreateDirectoryException(QStringLiteral("/x/%2/y"), QStringLiteral("Unknown error"));
    } catch (const CCreateDirectoryException& e) {
        text = e.what();
        // Other calls on the object leave the first pointer intact.
        QCOMPARE(e.message(), QString::fromUtf8(e.what()));
        QCOMPARE(e.what(), text);
        // A "%2" inside the path stays the path's own text.
        QCOMPARE(QString::fromUtf8(text),
                 QStringLiteral("Failed to create '/x/%2/y', the reason: Unknown error."));
    }
    QVERIFY(text);
}

QTEST_GUILESS_MAIN(TestPaths)
#include "tst_paths.moc"
