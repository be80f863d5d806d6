#include "testhttpserver.h"

#include <sys/socket.h>

CTestHttpServer::CTestHttpServer(QObject* parent) : QObject(parent)
{
    setReply(response(200, "{}"));
    connect(&m_server, &QTcpServer::newConnection, this, &CTestHttpServer::onNewConnection);
}

bool CTestHttpServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

QString CTestHttpServer::hostAndPort() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_server.serverPort());
}

void CTestHttpServer::setReply(const QByteArray& rawResponse)
{
    m_handler = [rawResponse](CTestHttpServer& server, int index) { server.respond(index, rawResponse); };
}

void CTestHttpServer::setHandler(Handler handler)
{
    m_handler = std::move(handler);
}

QByteArray CTestHttpServer::response(int status, const QByteArray& body, const QByteArray& extraHeaders)
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Whatever\r\nContent-Type: application/json\r\n" +
           "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n" + extraHeaders +
           "\r\n" + body;
}

void CTestHttpServer::respond(int index, const QByteArray& rawResponse)
{
    QTcpSocket* socket = m_exchanges.at(index).socket;
    if (!socket)
        return;
    socket->write(rawResponse);
    socket->disconnectFromHost();
}

void CTestHttpServer::reset(int index)
{
    QTcpSocket* socket = m_exchanges.at(index).socket;
    if (!socket)
        return;
    const linger hard{1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    socket->abort();
}

void CTestHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        ++m_connections;
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void CTestHttpServer::onReadyRead(QTcpSocket* socket)
{
    // Unparsed bytes of the request in progress live on the socket itself.
    QByteArray buffer = socket->property("pending").toByteArray() + socket->readAll();
    for (;;) {
        const int headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            break;
        SExchange exchange;
        exchange.head = buffer.left(headEnd);
        const int length = exchange.header("Content-Length").toInt();
        if (buffer.size() < headEnd + 4 + length)
            break;
        exchange.body = buffer.mid(headEnd + 4, length);
        exchange.raw = buffer.left(headEnd + 4 + length);
        exchange.socket = socket;
        buffer.remove(0, exchange.raw.size());
        m_exchanges.append(exchange);
        const int index = m_exchanges.size() - 1;
        emit requestReceived(index);
        if (m_handler)
            m_handler(*this, index);
    }
    if (socket->state() == QAbstractSocket::ConnectedState)
        socket->setProperty("pending", buffer);
}

QByteArray CTestHttpServer::SExchange::header(const QByteArray& name) const
{
    const QList<QByteArray> lines = head.split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

QList<QByteArray> CTestHttpServer::SExchange::headerNames() const
{
    QList<QByteArray> names;
    const QList<QByteArray> lines = head.split('\n');
    for (int i = 1; i < lines.size(); ++i)
        names.append(lines.at(i).left(lines.at(i).indexOf(':')));
    return names;
}
