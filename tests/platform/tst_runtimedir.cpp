// The single-instance directory without XDG_RUNTIME_DIR: a directory under the temp dir that
// another user made first, or a link planted there, must never be used.
#include "platform/userid.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

class TestRuntimeDir : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void freshDirectoryIsPrivate();
    void foreignOrOpenDirectoriesAreRefused_data();
    void foreignOrOpenDirectoriesAreRefused();

private:
    QString sharedPath() const
    {
        return m_tmp->path() + QStringLiteral("/brightloom-") + QString::number(::getuid());
    }
    static void verifyPrivate(const QString& dir);

    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<QTemporaryDir> m_cache;
    QByteArray m_runtime;
    QByteArray m_tmpdir;
};

void TestRuntimeDir::init()
{
    m_runtime = qgetenv("XDG_RUNTIME_DIR");
    m_tmpdir = qgetenv("TMPDIR");
    qunsetenv("XDG_RUNTIME_DIR");
    m_tmp = std::make_unique<QTemporaryDir>();
    m_cache = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid() && m_cache->isValid());
    qputenv("TMPDIR", QFile::encodeName(m_tmp->path()));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_cache->path()));
    QCOMPARE(QDir::tempPath(), m_tmp->path());
}

void TestRuntimeDir::cleanup()
{
    qputenv("XDG_RUNTIME_DIR", m_runtime);
    // A directory handed to another user must come back to be removed.
    ::chown(QFile::encodeName(sharedPath()).constData(), ::getuid(), ::getgid());
    qputenv("TMPDIR", m_tmpdir);
    m_tmp.reset();
    m_cache.reset();
}

void TestRuntimeDir::verifyPrivate(const QString& dir)
{
    struct stat info = {};
    QVERIFY2(::lstat(QFile::encodeName(dir).constData(), &info) == 0, qPrintable(dir));
    QVERIFY(S_ISDIR(info.st_mode));
    QCOMPARE(info.st_uid, ::getuid());
    QCOMPARE(info.st_mode & 0777, mode_t(0700));
}

void TestRuntimeDir::freshDirectoryIsPrivate()
{
    const QString dir = BL::Platform::privateRuntimeDirectory();
    QCOMPARE(dir, sharedPath());
    verifyPrivate(dir);
    // The same directory again: a second start must find the first.
    QCOMPARE(BL::Platform::privateRuntimeDirectory(), dir);
}

void TestRuntimeDir::foreignOrOpenDirectoriesAreRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("symlink to a directory") << QStringLiteral("symlink");
    QTest::newRow("writable by everyone") << QStringLiteral("open");
    QTest::newRow("owned by another user") << QStringLiteral("foreign");
    QTest::newRow("a plain file") << QStringLiteral("file");
}

void TestRuntimeDir::foreignOrOpenDirectoriesAreRefused()
{
    QFETCH(QString, kind);
    const QString shared = sharedPath();
    const QString target = m_tmp->path() + QStringLiteral("/elsewhere");
    QVERIFY(QDir().mkpath(target));
    const QByteArray path = QFile::encodeName(shared);
    if (kind == QLatin1String("symlink")) {
        QVERIFY(QFile::link(target, shared));
    } else if (kind == QLatin1String("open")) {
        QVERIFY(QDir().mkpath(shared));
        QCOMPARE(::chmod(path.constData(), 01777), 0);
    } else if (kind == QLatin1String("foreign")) {
        if (::getuid() != 0)
            QSKIP("handing a directory to another user needs root");
        QVERIFY(QDir().mkpath(shared));
        QCOMPARE(::chmod(path.constData(), 0700), 0);
        QCOMPARE(::chown(path.constData(), 65534, 65534), 0);
    } else {
        QFile file(shared);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("refusing the runtime directory"));
    const QString dir = BL::Platform::privateRuntimeDirectory();
    QVERIFY2(dir != shared && QFileInfo(dir).canonicalFilePath() != QFileInfo(target).canonicalFilePath(),
             qPrintable(dir));
    QVERIFY2(dir.startsWith(m_cache->path() + QLatin1Char('/')), qPrintable(dir));
    verifyPrivate(dir);
    // What was there is left as it was.
    QCOMPARE(QFileInfo(shared).isSymLink(), kind == QLatin1String("symlink"));
}

QTEST_MAIN(TestRuntimeDir)
#include "tst_runtimedir.moc"
