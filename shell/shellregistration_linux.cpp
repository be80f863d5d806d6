#include "shell/filemanagerentries.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QStandardPaths>

namespace BL::Shell {

std::unique_ptr<CAbstractShellRegistration> createShellRegistration()
{
    // The client is installed beside the program; without it an entry would only fail.
    const QString client = QCoreApplication::applicationDirPath() + QStringLiteral("/brightloom-upload");
    const bool clientThere = QFileInfo(client).isFile() && QFileInfo(client).isExecutable();
    // Offered for exactly the pictures the program can read.
    QStringList mimeTypes;
    for (const QByteArray& type : QImageReader::supportedMimeTypes())
        if (type.startsWith("image/"))
            mimeTypes << QString::fromLatin1(type);
    mimeTypes.sort();
    mimeTypes.removeDuplicates();
    return std::make_unique<CFileManagerEntries>(
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation),
        clientThere ? client : QString(), mimeTypes);
}

} // namespace BL::Shell
