// What a starting node may remove from a directory other nodes write into at the same time: the
// temporaries of dead writers only, and files no row names that are old by the directory's own clock.

#include "server/files.h"
#include "server/orphan_sweep.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace BL::Server;

namespace {

constexpr std::int64_t hourMs = 60 * 60 * 1000;

bool setModifiedMs(const std::string& path, std::int64_t ms)
{
    const timespec times[2] = {{ms / 1000, (ms % 1000) * 1000000}, {ms / 1000, (ms % 1000) * 1000000}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// A directory on a file server whose clock is `skewMs` behind this machine's: it stamps every
// file with its own time, and its clock says the same. `onList` runs as the listing is taken, for
// what another node does meanwhile.
class CSharedDirectory : public CObjectStore
{
public:
    CSharedDirectory(const std::string& path, std::int64_t skewMs, std::function<void()> onList = {})
        : m_inner(path), m_skewMs(skewMs), m_onList(std::move(onList))
    {
    }

    bool put(const std::string& name, std::string_view data, std::string* error) override
    {
        return m_inner.put(name, data, error) && setModifiedMs(m_inner.filePath(name), clockMs());
    }
    bool get(const std::string& name, std::string* data) const override { return m_inner.get(name, data); }
    std::unique_ptr<CObjectReader> open(const std::string& name) const override { return m_inner.open(name); }
    void remove(const std::string& name) override { m_inner.remove(name); }
    std::vector<SObjectEntry> list() const override
    {
        std::vector<SObjectEntry> entries = m_inner.list();
        if (m_onList)
            m_onList();
        return entries;
    }
    std::int64_t clockMs() override { return m_inner.clockMs() - m_skewMs; }
    bool exists(const std::string& name) const
    {
        return QFile::exists(QString::fromStdString(m_inner.filePath(name)));
    }
    bool age(const std::string& name, std::int64_t ms)
    {
        return setModifiedMs(m_inner.filePath(name), clockMs() - ms);
    }

private:
    CDurableDirectory m_inner;
    const std::int64_t m_skewMs;
    const std::function<void()> m_onList;
};

std::string hostPart()
{
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    std::string host(name[0] ? name : "localhost");
    for (char& c : host)
        if (c == '+' || c == '/')
            c = '_';
    return host;
}

} // namespace

class TestServerSweep : public QObject
{
    Q_OBJECT

private slots:
    void rowsAreReadAfterTheListing();
    void agesAreJudgedByTheDirectorysOwnClock();
    void startOnlyRemovesTemporariesOfDeadWriters();
};

void TestServerSweep::rowsAreReadAfterTheListing()
{
    QTemporaryDir dir;
    // The rows the database holds; another node commits the row of its old file while this node
    // lists the directory.
    std::set<std::string> rows;
    CSharedDirectory pictures(dir.filePath("pictures").toStdString(), 0,
                              [&rows] { rows.insert("committing.png"); });
    std::string error;
    for (const char* name : {"committing.png", "orphan.png"}) {
        QVERIFY(pictures.put(name, "picture", &error));
        QVERIFY(pictures.age(name, hourMs));
    }
    QCOMPARE(sweepOrphans(
                 pictures, "pictures", [&rows] { return rows; }, 5 * 60 * 1000),
             1);
    QVERIFY(pictures.exists("committing.png"));
    QVERIFY(!pictures.exists("orphan.png"));
}

void TestServerSweep::agesAreJudgedByTheDirectorysOwnClock()
{
    QTemporaryDir dir;
    CSharedDirectory pictures(dir.filePath("pictures").toStdString(), hourMs);
    std::string error;
    // Just stored by another node, its row not committed yet: an hour old by this machine's clock,
    // new by the file server's.
    QVERIFY(pictures.put("in-flight.png", "picture", &error));
    QVERIFY(pictures.put("left-behind.png", "picture", &error));
    QVERIFY(pictures.age("left-behind.png", 10 * 60 * 1000));
    QCOMPARE(sweepOrphans(pictures, "pictures", std::set<std::string>{}, 5 * 60 * 1000), 1);
    QVERIFY(pictures.exists("in-flight.png"));
    QVERIFY(!pictures.exists("left-behind.png"));
}

void TestServerSweep::startOnlyRemovesTemporariesOfDeadWriters()
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("pictures").toStdString();
    {
        CDurableDirectory create(path);
    }
    // A process of this host that has exited: its process ID names no live writer.
    QProcess exited;
    exited.start(QStringLiteral("true"), QStringList());
    QVERIFY(exited.waitForStarted());
    const qint64 deadPid = exited.processId();
    QVERIFY(exited.waitForFinished());
    const std::string thisHost = ".tmp-" + hostPart() + "+";
    const std::string liveHere = thisHost + std::to_string(::getpid()) + "+aa.png";
    const std::string deadHere = thisHost + std::to_string(deadPid) + "+bb.png";
    const std::string otherNode = ".tmp-other-node.example+4242+cc.png";
    const std::string otherNodeLongAgo = ".tmp-other-node.example+4242+dd.png";
    const std::string unnamedWriter = ".tmp-ee.png";
    for (const std::string& name : {liveHere, deadHere, otherNode, otherNodeLongAgo, unnamedWriter}) {
        QFile file(QString::fromStdString(path + "/" + name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("half a picture");
    }
    QVERIFY(setModifiedMs(path + "/" + otherNodeLongAgo, QDateTime::currentMSecsSinceEpoch() - 2 * hourMs));

    CDurableDirectory restarted(path);
    const auto exists = [&path](const std::string& name) {
        return QFile::exists(QString::fromStdString(path + "/" + name));
    };
    // Writers that may still be at work keep their temporaries.
    QVERIFY(exists(liveHere));
    QVERIFY(exists(otherNode));
    QVERIFY(exists(unnamedWriter));
    // A writer known dead, or one gone far longer than any write takes, does not.
    QVERIFY(!exists(deadHere));
    QVERIFY(!exists(otherNodeLongAgo));
    // The directory's own clock probe leaves nothing behind.
    QCOMPARE(QDir(QString::fromStdString(path)).entryList(QDir::Files | QDir::Hidden).size(), 3);
}

QTEST_GUILESS_MAIN(TestServerSweep)
#include "tst_sweep.moc"
