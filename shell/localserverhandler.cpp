#include "shell/localserverhandler.h"

#include "shell/logging.h"
#include "shell/shellregistration.h"
#include "shell/uploadmessage.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

using BL::Shell::CAbstractShellRegistration;
using BL::Shell::SLocalServerLimits;

CLocalServerHandler::CLocalServerHandler(QObject* parent)
    : CLocalServerHandler(BL::Shell::uploadPipeName(), BL::Shell::createShellRegistration(),
                          SLocalServerLimits(), parent)
{
}

CLocalServerHandler::CLocalServerHandler(const QString& pipeName,
                                         std::unique_ptr<CAbstractShellRegistration> registration,
                                         const SLocalServerLimits& limits, QObject* parent)
    : QObject(parent), m_registration(std::move(registration)), m_limits(limits)
{
    if (m_registration)
        m_registration->registerExtension();
    m_server = new QLocalServer(this);
    connect(m_server, &QLocalServer::newConnection, this, &CLocalServerHandler::processNewConnection);
    listen(pipeName);
}

CLocalServerHandler::~CLocalServerHandler()
{
    if (m_registration)
        m_registration->unregisterExtension();
}

bool CLocalServerHandler::isListening() const
{
    return m_server->isListening();
}

void CLocalServerHandler::listen(const QString& pipeName)
{
    // A name that answers is another live instance's (of another build): it stays its own.
    // Taking it over would be silent, since the server binds aside and renames into place.
    QLocalSocket probe;
    probe.connectToServer(pipeName);
    if (probe.waitForConnected(1000)) {
        probe.abort();
        qCWarning(lcShell) << "another Brightloom receives the files to upload on" << pipeName;
        return;
    }
    // What is left is a socket file of a killed instance, which would make listen() fail.
    QLocalServer::removeServer(pipeName);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(pipeName))
        qCWarning(lcShell) << "not listening for files to upload on" << pipeName << ":"
                           << m_server->errorString();
}

void CLocalServerHandler::processNewConnection()
{
    if (!m_server->hasPendingConnections())
        return;
    QLocalSocket* socket = m_server->nextPendingConnection();
    // Every accepted connection holds a descriptor: too many at once and accept() fails,
    // which would close the server for good.
    if (m_connections.size() >= m_limits.maxConnections)
        drop(m_connections.first());
    m_connections.append(socket);
    socket->setReadBufferSize(m_limits.maxBytes);
    connect(socket, &QLocalSocket::readyRead, this, &CLocalServerHandler::onSocketReadyRead);
    // A peer gone before its whole message must not leave its socket behind until exit;
    // one that wrote it all and hung up at once still has it delivered.
    connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
        readMessage(socket);
        drop(socket);
    });
    auto* deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, this, [this, socket] { drop(socket); });
    deadline->start(m_limits.deadlineMs);
}

void CLocalServerHandler::onSocketReadyRead()
{
    if (auto* socket = qobject_cast<QLocalSocket*>(sender()))
        readMessage(socket);
}

void CLocalServerHandler::readMessage(QLocalSocket* socket)
{
    if (!m_connections.contains(socket) || socket->bytesAvailable() < BL::Shell::kUploadMessageBytes)
        return;
    const QByteArray bytes = socket->read(m_limits.maxBytes);
    QPointer<QLocalSocket> guard(socket);
    emit newFileToUpload(BL::Shell::decodeUploadMessage(bytes));
    if (guard)
        drop(socket);
}

void CLocalServerHandler::drop(QLocalSocket* socket)
{
    if (!m_connections.removeOne(socket))
        return;
    socket->disconnect(this);
    socket->close();
    socket->deleteLater();
}
