#include "nginx_balancer.h"

#include "server_process.h"

#include <QFile>
#include <QTest>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace BL::Test {

namespace {

bool accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

} // namespace

CNginxBalancer::CNginxBalancer(const std::vector<int>& nodes,
                               const std::vector<std::pair<std::string, int>>& pinned, int port)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory");
        return;
    }
    m_port = port > 0 ? port : freeLoopbackPort();
    const std::string dir = m_dir.path().toStdString();
    // The proxy settings of the deployment recipe: whole requests buffered before they reach a
    // node, the client's address passed on, a node that refuses connections skipped.
    const std::string proxy = "proxy_set_header X-Forwarded-For $remote_addr; proxy_set_header Host $host;"
                              " proxy_request_buffering on; proxy_next_upstream error timeout;";
    std::string config = std::string(::geteuid() == 0 ? "user root;\n" : "") +
                         "daemon off;\nworker_processes 1;\npid " + dir + "/nginx.pid;\nerror_log " + dir +
                         "/error.log;\nevents { worker_connections 512; }\nhttp {\n access_log off;\n"
                         " client_body_temp_path " +
                         dir + "/body; proxy_temp_path " + dir + "/proxy; fastcgi_temp_path " + dir +
                         "/fastcgi; uwsgi_temp_path " + dir + "/uwsgi; scgi_temp_path " + dir +
                         "/scgi;\n client_max_body_size 21m;\n upstream nodes {\n";
    for (const int node : nodes)
        config += "  server 127.0.0.1:" + std::to_string(node) + ";\n";
    config += " }\n server {\n  listen 127.0.0.1:" + std::to_string(m_port) + ";\n";
    for (const auto& [path, node] : pinned)
        config += "  location = " + path + " { proxy_pass http://127.0.0.1:" + std::to_string(node) + "; " +
                  proxy + " }\n";
    config += "  location / { proxy_pass http://nodes; " + proxy + " }\n }\n}\n";
    QFile file(m_dir.filePath(QStringLiteral("nginx.conf")));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(config.data(), static_cast<qint64>(config.size())) < 0) {
        m_error = QStringLiteral("cannot write the nginx configuration");
        return;
    }
    file.close();
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(
        QStringLiteral("/usr/sbin/nginx"),
        {"-p", m_dir.path(), "-e", m_dir.filePath(QStringLiteral("error.log")), "-c", file.fileName()});
    for (int i = 0; i < 200 && !accepts(m_port); ++i) {
        if (m_process.state() == QProcess::NotRunning)
            break;
        QTest::qSleep(25);
    }
    if (!accepts(m_port)) {
        QFile log(m_dir.filePath(QStringLiteral("error.log")));
        log.open(QIODevice::ReadOnly);
        m_error = QStringLiteral("nginx did not start: ") + QString::fromLocal8Bit(m_process.readAll()) +
                  QString::fromLocal8Bit(log.readAll());
    }
}

CNginxBalancer::~CNginxBalancer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

} // namespace BL::Test
