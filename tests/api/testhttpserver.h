#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>

// A tiny HTTP/1.1 server on 127.0.0.1 for the client tests. It records every
// request byte for byte and answers through a handler, which may reply at once,
// later (to reorder replies), reset the connection or say nothing at all.
class CTestHttpServer : public QObject
{
    Q_OBJECT

public:
    struct SExchange
    {
        QByteArray raw;  // everything received for this request
        QByteArray head; // request line and headers, without the blank line
        QByteArray body;
        QPointer<QTcpSocket> socket;

        // Value of the first header with this name (case-insensitive), or a null array.
        QByteArray header(const QByteArray& name) const;
        // Header names in the order they arrived.
        QList<QByteArray> headerNames() const;
    };

    using Handler = std::function<void(CTestHttpServer& server, int index)>;

    explicit CTestHttpServer(QObject* parent = nullptr);

    bool listen();
    // "127.0.0.1:<port>", for BL_SERVICE_HOST.
    QString hostAndPort() const;

    // Default: every request gets the same reply, set here.
    void setReply(const QByteArray& rawResponse);
    void setHandler(Handler handler);

    void respond(int index, const QByteArray& rawResponse);
    // Closes the connection with a TCP reset (SO_LINGER 0) instead of a reply.
    void reset(int index);

    const QList<SExchange>& exchanges() const { return m_exchanges; }
    int connectionCount() const { return m_connections; }

    static QByteArray response(int status, const QByteArray& body, const QByteArray& extraHeaders = {});

signals:
    void requestReceived(int index);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);

    QTcpServer m_server;
    Handler m_handler;
    QList<SExchange> m_exchanges;
    int m_connections = 0;
};
