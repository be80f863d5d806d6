#include "diagnostics/paths.h"

#include "diagnostics/exceptions.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QObject>
#include <QStandardPaths>

QString resolvePath(const QString& pattern)
{
    QString path = pattern;
    path.replace(QLatin1Char('~'), QDir::homePath());
    path.replace(QLatin1String("<app_local_data_location>"),
                 QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation));
    path.replace(QLatin1String("<app_config_location>"),
                 QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
    path.replace(QLatin1String("<tmp>"), QDir::tempPath());
    return path;
}

QString minidumpDirectory()
{
    return resolvePath(QStringLiteral("<app_local_data_location>/minidumps"));
}

QString shareHistoryDirectory()
{
    return resolvePath(QStringLiteral("<app_local_data_location>/shares"));
}

void ensureDirectoryExists(const QString& path)
{
    using BL::Exceptions::CCreateDirectoryException;
    if (path.isEmpty())
        return;
    QFileInfo info(path);
    info.refresh();
    if (info.exists()) {
        if (!info.isDir())
            throw CCreateDirectoryException(path, QObject::tr("The path specified is not a directory"));
        if (!info.isWritable())
            throw CCreateDirectoryException(
                path, QObject::tr("The path specified is not writable for the current user"));
        return;
    }
    qDebug().noquote() << QStringLiteral("Creating directory '%1'").arg(path);
    if (!QDir().mkpath(path))
        throw CCreateDirectoryException(path, QObject::tr("Unknown error"));
}
