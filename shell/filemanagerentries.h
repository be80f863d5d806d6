#pragma once

#include "shell/shellregistration.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace BL::Shell {

struct SFileManagerEntry
{
    QString path; // absolute
    QByteArray content;
    bool executable = false;
};

// "Upload with Brightloom" in the Linux file managers, each entry calling the upload client
// with the chosen files: an XDG desktop entry shown only under "Open With", a KDE service
// menu and a Nautilus script, all below the user's data directory.
//
// Every file we write ends with a line that carries a checksum of the rest, so a file of the
// same name that someone else wrote (or edited) is never overwritten at start; at exit only a
// file that still holds exactly what this run wrote is removed.
class CFileManagerEntries : public CAbstractShellRegistration
{
public:
    CFileManagerEntries(QString dataHome, QString clientPath, QStringList mimeTypes);

    void registerExtension() override;
    void unregisterExtension() override;

    // The three entries as they would be written.
    QList<SFileManagerEntry> entries() const;
    // What this run wrote and has not removed yet.
    QStringList writtenFiles() const;

    // True when `content` is a file this program wrote and nobody changed since.
    static bool isOurs(const QByteArray& content);
    // `argument` quoted for the Exec key of a desktop entry, or empty when it cannot be
    // written there (control characters).
    static QString desktopExecArgument(const QString& argument);

private:
    QString m_dataHome;
    QString m_clientPath;
    QStringList m_mimeTypes;
    QList<SFileManagerEntry> m_written;
};

} // namespace BL::Shell
