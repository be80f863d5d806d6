#include "postgres_cluster.h"

#include "server_process.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace BL::Test {

namespace {

const QString binDir = QStringLiteral("/usr/lib/postgresql/15/bin/");

} // namespace

CPostgresCluster::CPostgresCluster() : m_dir(QStringLiteral("/tmp/bl-pg-XXXXXX"))
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory");
        return;
    }
    m_data = m_dir.filePath(QStringLiteral("data"));
    m_asPostgres = ::geteuid() == 0;
    if (m_asPostgres) {
        const passwd* user = ::getpwnam("postgres");
        if (!user || ::chown(m_dir.path().toLocal8Bit().constData(), user->pw_uid, user->pw_gid) != 0) {
            m_error = QStringLiteral("running as root and no postgres user to run the server as");
            return;
        }
    }
    m_port = freeLoopbackPort();
    if (!run(binDir + "initdb", {"-D", m_data, "-A", "trust", "-U", "brightloom", "-E", "UTF8", "--locale=C",
                                 "--no-sync", "--no-instructions"}))
        return;
    start();
}

bool CPostgresCluster::start()
{
    if (m_running)
        return true;
    const QString options = QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off "
                                           "-c max_connections=200")
                                .arg(m_port)
                                .arg(m_dir.path());
    if (!run(binDir + "pg_ctl", {"-D", m_data, "-o", options, "-l", m_dir.filePath("log"), "-w", "start"}))
        return false;
    m_running = true;
    return true;
}

bool CPostgresCluster::pause()
{
    // The postmaster's process ID is the first line of its pid file; the backends are its children.
    QFile pidFile(m_data + "/postmaster.pid");
    if (!m_running || !pidFile.open(QIODevice::ReadOnly))
        return false;
    const int postmaster = QString::fromLatin1(pidFile.readLine()).trimmed().toInt();
    if (postmaster <= 0 || ::kill(postmaster, SIGSTOP) != 0)
        return false;
    m_paused = {postmaster};
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (entry.toInt() <= 0 || !stat.open(QIODevice::ReadOnly))
            continue;
        // pid (comm) state ppid ...: the command may hold blanks, so read after its closing parenthesis.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1].toInt() == postmaster && ::kill(entry.toInt(), SIGSTOP) == 0)
            m_paused.push_back(entry.toInt());
    }
    return true;
}

void CPostgresCluster::resume()
{
    for (const int pid : m_paused)
        ::kill(pid, SIGCONT);
    m_paused.clear();
}

CPostgresCluster::~CPostgresCluster()
{
    stop();
}

void CPostgresCluster::stop()
{
    resume();
    if (m_running)
        run(binDir + "pg_ctl", {"-D", m_data, "-m", "immediate", "-w", "stop"});
    m_running = false;
}

bool CPostgresCluster::run(const QString& program, const QStringList& arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (m_asPostgres)
        process.start(QStringLiteral("runuser"), QStringList{"-u", "postgres", "--", program} + arguments);
    else
        process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        QFile log(m_dir.filePath("log"));
        log.open(QIODevice::ReadOnly);
        m_error = program + " failed: " + QString::fromLocal8Bit(process.readAll()) +
                  QString::fromLocal8Bit(log.readAll());
        return false;
    }
    return true;
}

std::string CPostgresCluster::conninfo(const std::string& database) const
{
    return "host=127.0.0.1 port=" + std::to_string(m_port) + " user=brightloom dbname=" + database;
}

std::string CPostgresCluster::createDatabase(const std::string& name)
{
    if (!run(binDir + "createdb", {"-h", "127.0.0.1", "-p", QString::number(m_port), "-U", "brightloom",
                                   QString::fromStdString(name)}))
        return {};
    return conninfo(name);
}

} // namespace BL::Test
