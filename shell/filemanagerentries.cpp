#include "shell/filemanagerentries.h"

#include "shell/logging.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace BL::Shell {
namespace {

const QByteArray kMarkerHead = "# Written by Brightloom while it runs and removed when it quits (sha1 ";
// Our files are a few hundred bytes; anything far larger is not ours.
constexpr qint64 kMaxEntryBytes = 64 * 1024;

QByteArray withMarker(const QByteArray& body)
{
    return body + kMarkerHead + QCryptographicHash::hash(body, QCryptographicHash::Sha1).toHex() + ")\n";
}

QString shellQuoted(const QString& argument)
{
    QString quoted = argument;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

bool hasControlCharacters(const QString& text)
{
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    return false;
}

enum class EExisting { Absent, Ours, Foreign };

EExisting existing(const QString& path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return EExisting::Foreign;
    if (!info.exists())
        return EExisting::Absent;
    if (!info.isFile() || info.size() > kMaxEntryBytes)
        return EExisting::Foreign;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return EExisting::Foreign;
    return CFileManagerEntries::isOurs(file.readAll()) ? EExisting::Ours : EExisting::Foreign;
}

bool writeEntry(const SFileManagerEntry& entry)
{
    if (!QDir().mkpath(QFileInfo(entry.path).absolutePath()))
        return false;
    QSaveFile file(entry.path);
    if (!file.open(QIODevice::WriteOnly) || file.write(entry.content) != entry.content.size() ||
        !file.commit())
        return false;
    QFile::Permissions permissions =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (entry.executable)
        permissions |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    return QFile::setPermissions(entry.path, permissions);
}

} // namespace

CFileManagerEntries::CFileManagerEntries(QString dataHome, QString clientPath, QStringList mimeTypes)
    : m_dataHome(std::move(dataHome)), m_clientPath(std::move(clientPath)), m_mimeTypes(std::move(mimeTypes))
{
}

bool CFileManagerEntries::isOurs(const QByteArray& content)
{
    if (!content.endsWith(")\n"))
        return false;
    const int markerStart = content.lastIndexOf('\n', content.size() - 2) + 1;
    const QByteArray marker = content.mid(markerStart);
    const QByteArray body = content.left(markerStart);
    return marker.startsWith(kMarkerHead) && withMarker(body) == content;
}

QString CFileManagerEntries::desktopExecArgument(const QString& argument)
{
    if (argument.isEmpty() || hasControlCharacters(argument))
        return QString();
    // Quoted as a whole, '"', '`', '$' and '\' escaped inside the quotes; then the string
    // escape of the key value doubles every backslash, and a literal '%' is written "%%".
    QString quoted;
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$'))
            quoted += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\\'))
            quoted += QStringLiteral("\\\\\\");
        else if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
        quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QList<SFileManagerEntry> CFileManagerEntries::entries() const
{
    const QString exec = desktopExecArgument(m_clientPath);
    if (exec.isEmpty() || hasControlCharacters(m_mimeTypes.join(QString())))
        return {};
    // GLib looks the program up before it turns "%%" back into "%", and would drop the
    // entry; through env the program it looks up is env.
    const QString launcher = m_clientPath.contains(QLatin1Char('%')) ? QStringLiteral("env ") : QString();
    const QString execLine = QStringLiteral("Exec=") + launcher + exec + QStringLiteral(" -- %F\n");
    const QString mimeLine =
        QStringLiteral("MimeType=") + m_mimeTypes.join(QLatin1Char(';')) + QStringLiteral(";\n");
    const QString name = QStringLiteral("Upload with Brightloom");

    SFileManagerEntry openWith;
    openWith.path = m_dataHome + QStringLiteral("/applications/brightloom-upload.desktop");
    openWith.content = withMarker((QStringLiteral("[Desktop Entry]\n"
                                                  "Type=Application\n"
                                                  "Name=") +
                                   name +
                                   QStringLiteral("\n"
                                                  "Comment=Upload the picture and put its link on the "
                                                  "clipboard\n") +
                                   execLine + mimeLine +
                                   QStringLiteral("NoDisplay=true\n"
                                                  "Terminal=false\n"))
                                      .toUtf8());

    SFileManagerEntry serviceMenu;
    serviceMenu.path = m_dataHome + QStringLiteral("/kio/servicemenus/brightloom-upload.desktop");
    // Plasma runs a service menu from the user's directory only when it is executable.
    serviceMenu.executable = true;
    serviceMenu.content = withMarker((QStringLiteral("[Desktop Entry]\n"
                                                     "Type=Service\n"
                                                     "X-KDE-ServiceTypes=KonqPopupMenu/Plugin\n") +
                                      mimeLine +
                                      QStringLiteral("Actions=uploadWithBrightloom;\n"
                                                     "\n"
                                                     "[Desktop Action uploadWithBrightloom]\n"
                                                     "Name=") +
                                      name + QStringLiteral("\n") + execLine)
                                         .toUtf8());

    // Nautilus runs a script in the folder shown, with the chosen names as arguments.
    SFileManagerEntry script;
    script.path = m_dataHome + QStringLiteral("/nautilus/scripts/") + name;
    script.executable = true;
    script.content = withMarker((QStringLiteral("#!/bin/sh\n"
                                                "exec ") +
                                 shellQuoted(m_clientPath) + QStringLiteral(" -- \"$@\"\n"))
                                    .toUtf8());
    return {openWith, serviceMenu, script};
}

QStringList CFileManagerEntries::writtenFiles() const
{
    QStringList paths;
    for (const SFileManagerEntry& entry : m_written)
        paths << entry.path;
    return paths;
}

void CFileManagerEntries::registerExtension()
{
    if (m_clientPath.isEmpty()) {
        qCInfo(lcShell) << "no upload client beside the program: the file managers get no entry";
        return;
    }
    const QList<SFileManagerEntry> all = entries();
    if (all.isEmpty())
        qCWarning(lcShell) << "the upload client's path" << m_clientPath
                           << "cannot be written into a menu entry";
    for (const SFileManagerEntry& entry : all) {
        // Left over by a run that did not end in order: ours to replace.
        const EExisting before = existing(entry.path);
        if (before == EExisting::Foreign) {
            qCInfo(lcShell) << "left alone, not written by us:" << entry.path;
            continue;
        }
        if (writeEntry(entry))
            m_written << entry;
        else
            qCWarning(lcShell) << "could not write" << entry.path;
    }
}

void CFileManagerEntries::unregisterExtension()
{
    for (const SFileManagerEntry& entry : qAsConst(m_written)) {
        QFile file(entry.path);
        const QFileInfo info(entry.path);
        if (info.isSymLink() || !info.isFile() || info.size() != entry.content.size() ||
            !file.open(QIODevice::ReadOnly) || file.readAll() != entry.content) {
            qCInfo(lcShell) << "left alone, changed since we wrote it:" << entry.path;
            continue;
        }
        file.close();
        if (!QFile::remove(entry.path))
            qCWarning(lcShell) << "could not remove" << entry.path;
    }
    m_written.clear();
}

} // namespace BL::Shell
