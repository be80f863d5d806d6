#pragma once

#include "shell/shellregistration.h"

#include <QList>
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;
class QLocalSocket;

namespace BL::Shell {

// What one client may cost the program. A message is small and sent at once, so a
// connection that is slow, silent or large is dropped rather than kept.
struct SLocalServerLimits
{
    int deadlineMs = 10000;      // from connect to a whole message
    qint64 maxBytes = 64 * 1024; // read from one connection at most
    int maxConnections = 64;     // open at once; a new one pushes out the oldest
};
} // namespace BL::Shell

// The program's side of the file manager's "Upload with Brightloom": registers the entry
// at start and removes it at an orderly exit, listens on the upload pipe and turns each
// message (see shell/uploadmessage.h) into newFileToUpload. The path is passed on exactly
// as it came; checking it is the receiver's business.
class CLocalServerHandler : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CLocalServerHandler)

public:
    explicit CLocalServerHandler(QObject* parent);
    // For tests: another pipe name, another registration (none when null), other limits.
    CLocalServerHandler(const QString& pipeName,
                        std::unique_ptr<BL::Shell::CAbstractShellRegistration> registration,
                        const BL::Shell::SLocalServerLimits& limits, QObject* parent);
    ~CLocalServerHandler() override;

    bool isListening() const;
    // Connections accepted and not yet finished.
    int openConnections() const { return m_connections.size(); }

signals:
    void newFileToUpload(const QString& filename);

private slots:
    void processNewConnection();
    void onSocketReadyRead();

private:
    void listen(const QString& pipeName);
    void readMessage(QLocalSocket* socket);
    void drop(QLocalSocket* socket);

    std::unique_ptr<BL::Shell::CAbstractShellRegistration> m_registration;
    BL::Shell::SLocalServerLimits m_limits;
    QLocalServer* m_server = nullptr;
    QList<QLocalSocket*> m_connections; // oldest first
};
