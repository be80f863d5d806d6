#include "platform/singleapplication.h"

#include "platform/logging.h"
#include "platform/userid.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QWidget>

namespace {

// A message larger than this is not ours; refuse it instead of buffering it.
constexpr quint32 kMaxMessageBytes = 64 * 1024;
constexpr char kAck = '\x06';

QString executableIdentity()
{
    // Built from the path the program was started from, like the activation id
    // of a desktop entry: two copies in different places are two programs.
    QString path = QCoreApplication::applicationFilePath();
    const QByteArray digest =
        QCryptographicHash::hash(QFileInfo(path).canonicalFilePath().toUtf8(), QCryptographicHash::Sha1);
    return QStringLiteral("brightloom-") + QString::fromLatin1(digest.toHex().left(16));
}

} // namespace

QString CSingleApplication::runtimeDirectory()
{
    return BL::Platform::privateRuntimeDirectory();
}

CSingleApplication::CSingleApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    m_id = executableIdentity() + QLatin1Char('-') + BL::Platform::currentUserId();
    const QString dir = runtimeDirectory();
    m_socketPath = dir + QLatin1Char('/') + m_id + QStringLiteral(".sock");
    m_lock = std::make_unique<QLockFile>(dir + QLatin1Char('/') + m_id + QStringLiteral(".lock"));
    // A lock whose owner process is gone is taken over at once (QLockFile checks the PID).
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0))
        becomePrimary();
    else
        qCDebug(lcPlatform) << "instance lock held by another process:" << m_lock->error();
}

CSingleApplication::~CSingleApplication()
{
    if (m_server)
        m_server->close();
    if (m_lock && m_primary)
        m_lock->unlock();
}

void CSingleApplication::becomePrimary()
{
    m_primary = true;
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket file left by a killed instance would make listen() fail.
    QLocalServer::removeServer(m_socketPath);
    if (!m_server->listen(m_socketPath)) {
        qCWarning(lcPlatform) << "cannot listen for other instances:" << m_server->errorString();
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, &CSingleApplication::readConnection);
}

void CSingleApplication::readConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // Messages are tiny; answer as soon as the whole frame is there.
        connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
            if (socket->bytesAvailable() < qint64(sizeof(quint32)))
                return;
            QDataStream in(socket);
            quint32 size = 0;
            in.startTransaction();
            in >> size;
            if (size > kMaxMessageBytes) {
                socket->abort();
                return;
            }
            const QByteArray bytes = socket->read(size);
            if (quint32(bytes.size()) < size) {
                in.rollbackTransaction();
                return;
            }
            in.commitTransaction();
            socket->write(&kAck, 1);
            socket->flush();
            const QString message = QString::fromUtf8(bytes);
            qCDebug(lcPlatform) << "message from another instance:" << message;
            emit messageReceived(message);
            if (m_activateOnMessage)
                activateWindow();
        });
    }
}

bool CSingleApplication::sendMessage(const QString& message, int timeout)
{
    if (m_primary)
        return false;
    QDeadlineTimer deadline(timeout);
    QLocalSocket socket;
    // The primary may hold the lock but not listen yet: retry until the deadline.
    for (;;) {
        socket.connectToServer(m_socketPath);
        if (socket.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    const QByteArray bytes = message.toUtf8();
    QByteArray frame;
    QDataStream out(&frame, QIODevice::WriteOnly);
    out << quint32(bytes.size());
    frame.append(bytes);
    socket.write(frame);
    if (!socket.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime()))))
        return false;
    while (socket.bytesAvailable() < 1)
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            return false;
    char ack = 0;
    return socket.getChar(&ack) && ack == kAck;
}

void CSingleApplication::setActivationWindow(QWidget* window, bool activateOnMessage)
{
    m_activationWindow = window;
    m_activateOnMessage = activateOnMessage;
}

void CSingleApplication::activateWindow()
{
    if (!m_activationWindow)
        return;
    m_activationWindow->setWindowState(m_activationWindow->windowState() & ~Qt::WindowMinimized);
    m_activationWindow->raise();
    m_activationWindow->activateWindow();
}

bool CSingleApplication::notify(QObject* receiver, QEvent* event)
{
    // Qt closes every popup when the application loses the input focus. The full-screen overlay
    // holds the pointer and the keyboard anyway, and the focus leaves us for moments it did not
    // ask for (the previous overlay's window going away just before, another program taking the
    // focus): the event still goes out, but the selection is not thrown away with the overlay.
    if (event->type() == QEvent::ApplicationDeactivate) {
        const QWidget* popup = activePopupWidget();
        if (popup && popup->property(keepPopupWhenInactive).toBool())
            return QCoreApplication::notify(receiver, event);
    }
    return QApplication::notify(receiver, event);
}
