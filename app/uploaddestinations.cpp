#include "app/uploaddestinations.h"

#include "app/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <algorithm>

namespace BL::App {

namespace {

const QString kSuffix = QStringLiteral(".sxcu");
constexpr QFile::Permissions kOwnerFile = QFile::ReadOwner | QFile::WriteOwner;
constexpr QFile::Permissions kOwnerDir = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;

// A name that is also a safe file name: no separators, no dot files, not too long.
QString fileSafeName(const QString& name)
{
    QString safe = name.simplified();
    safe.replace(QRegularExpression(QStringLiteral("[/\\\\:*?\"<>|\\x00-\\x1f]")), QStringLiteral("-"));
    while (safe.startsWith(QLatin1Char('.')))
        safe.remove(0, 1);
    return safe.left(80).trimmed();
}

QByteArray readSmallFile(const QString& fileName, QString* error)
{
    const QFileInfo info(fileName);
    QFile file(fileName);
    // Only a regular file: a pipe or a device could block or never end.
    if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: the file cannot be read").arg(QDir::toNativeSeparators(fileName));
        return QByteArray();
    }
    const QByteArray bytes = file.read(BL::Api::maxCustomUploaderBytes + 1);
    if (bytes.size() > BL::Api::maxCustomUploaderBytes) {
        *error = QStringLiteral("%1: the file is larger than %2 KiB")
                     .arg(QDir::toNativeSeparators(fileName))
                     .arg(BL::Api::maxCustomUploaderBytes / 1024);
        return QByteArray();
    }
    error->clear();
    return bytes;
}

} // namespace

CUploadDestinations::CUploadDestinations(QString directory) : m_directory(std::move(directory)) {}

QString CUploadDestinations::defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QStringLiteral("/uploaders");
}

QStringList CUploadDestinations::names() const
{
    QStringList names;
    const QStringList files = QDir(m_directory).entryList({QLatin1Char('*') + kSuffix}, QDir::Files);
    for (const QString& file : files)
        names << file.chopped(kSuffix.size());
    std::sort(names.begin(), names.end(),
              [](const QString& a, const QString& b) { return a.localeAwareCompare(b) < 0; });
    return names;
}

std::optional<BL::Api::SCustomUploader> CUploadDestinations::uploader(const QString& name,
                                                                      QString* error) const
{
    QString reason;
    const QString path = pathOf(name);
    std::optional<BL::Api::SCustomUploader> uploader;
    if (!path.isEmpty()) {
        const QByteArray bytes = readSmallFile(path, &reason);
        if (reason.isEmpty())
            uploader = BL::Api::readCustomUploader(bytes, &reason);
    } else {
        reason = QStringLiteral("no destination named %1").arg(name);
    }
    // Named as listed, which the file's own name may differ from.
    if (uploader)
        uploader->name = name;
    if (error)
        *error = reason;
    return uploader;
}

std::optional<BL::Api::SCustomUploader> CUploadDestinations::check(const QString& fileName, QString* error)
{
    const QByteArray bytes = readSmallFile(fileName, error);
    if (!error->isEmpty())
        return std::nullopt;
    return BL::Api::readCustomUploader(bytes, error);
}

QString CUploadDestinations::import(const QString& fileName, QString* error)
{
    const QByteArray bytes = readSmallFile(fileName, error);
    if (!error->isEmpty())
        return QString();
    const std::optional<BL::Api::SCustomUploader> uploader = BL::Api::readCustomUploader(bytes, error);
    if (!uploader)
        return QString();
    QString name = fileSafeName(uploader->name);
    if (name.isEmpty())
        name = fileSafeName(QFileInfo(fileName).completeBaseName());
    if (name.isEmpty())
        name = QStringLiteral("Image host");

    if (!QDir().mkpath(m_directory) || !QFile::setPermissions(m_directory, kOwnerDir)) {
        *error = QStringLiteral("%1 cannot be made").arg(QDir::toNativeSeparators(m_directory));
        return QString();
    }
    // Written whole under a temporary name, private before the first byte, then renamed.
    QSaveFile file(pathOf(name));
    const bool written = file.open(QIODevice::WriteOnly) && file.setPermissions(kOwnerFile) &&
                         file.write(bytes) == bytes.size() && file.commit();
    if (!written) {
        *error = QStringLiteral("%1 cannot be written: %2")
                     .arg(QDir::toNativeSeparators(file.fileName()), file.errorString());
        return QString();
    }
    qCInfo(lcApp) << "upload destination imported as" << name;
    return name;
}

QString CUploadDestinations::pathOf(const QString& name) const
{
    if (name.isEmpty() || fileSafeName(name) != name)
        return QString();
    return m_directory + QLatin1Char('/') + name + kSuffix;
}

} // namespace BL::App
