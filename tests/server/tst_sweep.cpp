// What a starting node may remove from a directory other nodes write into at the same time: the
// temporaries of dead writers only.

#include "server/files.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
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
    void startOnlyRemovesTemporariesOfDeadWriters();
};

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
