#pragma once

#include <QString>
#include <QTemporaryDir>
#include <string>
#include <vector>

namespace BL::Test {

// A throw-away PostgreSQL cluster for one test: initdb into a temporary directory, the server on
// its own port of 127.0.0.1, stopped and removed with the object. Started as the "postgres"
// system user when the test runs as root, since the server refuses to run as root.
class CPostgresCluster
{
public:
    CPostgresCluster();
    ~CPostgresCluster();
    CPostgresCluster(const CPostgresCluster&) = delete;
    CPostgresCluster& operator=(const CPostgresCluster&) = delete;

    // Empty when the cluster runs; otherwise what went wrong.
    const QString& error() const { return m_error; }
    int port() const { return m_port; }
    // A fresh, empty database and the connection string for it.
    std::string createDatabase(const std::string& name);
    std::string conninfo(const std::string& database) const;
    // Stops the server at once, as a crash would.
    void stop();
    // Starts it again on the same port, with the same data.
    bool start();
    // Freezes every process of the server (SIGSTOP), as a machine that stops answering would:
    // connections stay open and nothing comes back. resume() lets them go on (SIGCONT).
    bool pause();
    void resume();

private:
    bool run(const QString& program, const QStringList& arguments, int timeoutMs = 60000);

    QTemporaryDir m_dir;
    QString m_data;
    QString m_error;
    int m_port = 0;
    bool m_asPostgres = false;
    bool m_running = false;
    std::vector<int> m_paused;
};

} // namespace BL::Test
