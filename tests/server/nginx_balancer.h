#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <string>
#include <vector>

namespace BL::Test {

// Debian's nginx in front of service nodes on 127.0.0.1, started by the test with a
// configuration of its own in a temporary directory and stopped with the object.
class CNginxBalancer
{
public:
    // Balances between `nodes` (ports). Paths in `pinned` go to the node port given with them
    // instead, so a test can force one request to one node and the next to another. Listens on
    // `port`, or on a free one when it is 0.
    CNginxBalancer(const std::vector<int>& nodes, const std::vector<std::pair<std::string, int>>& pinned = {},
                   int port = 0);
    ~CNginxBalancer();
    CNginxBalancer(const CNginxBalancer&) = delete;
    CNginxBalancer& operator=(const CNginxBalancer&) = delete;

    // Empty when nginx listens; otherwise what went wrong.
    const QString& error() const { return m_error; }
    int port() const { return m_port; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_error;
    int m_port = 0;
};

} // namespace BL::Test
