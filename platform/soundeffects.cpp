#include "platform/soundeffects.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPluginLoader>
#include <QStringList>

namespace BL::Platform {

CAbstractSoundEffects* loadSoundEffects(QString* why)
{
    const QString programDir = QCoreApplication::applicationDirPath();
    const QStringList dirs = {programDir, QDir::cleanPath(programDir + QStringLiteral("/../lib/brightloom"))};
    QStringList failures;
    for (const QString& dir : dirs) {
        // The loader adds the platform's suffix.
        QPluginLoader loader(dir + QStringLiteral("/brightloom-sounds"));
        if (!QFileInfo::exists(loader.fileName()))
            continue;
        if (auto* effects = qobject_cast<CAbstractSoundEffects*>(loader.instance()))
            return effects;
        failures << loader.errorString();
    }
    if (why)
        *why = failures.isEmpty()
                   ? QStringLiteral("the sound module is in none of %1").arg(dirs.join(QStringLiteral(", ")))
                   : failures.join(QStringLiteral("; "));
    return nullptr;
}

} // namespace BL::Platform
