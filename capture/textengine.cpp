#include "capture/textengine.h"

#include "platform/processtuning.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPluginLoader>
#include <QScopeGuard>
#include <QStringList>
#include <memory>

namespace BL::Capture {

namespace {
// Used from the recognizer's one worker thread only.
std::unique_ptr<QPluginLoader> g_loader;
QStringList g_filesBefore; // mapped before the module came in
} // namespace

CAbstractTextEngine* loadTextEngine(QString* why)
{
    // Read by the OpenMP runtime when the module's libraries come in, never after; taken away
    // again so that the programs we start (a browser) do not inherit it.
    const bool limitThreads = qEnvironmentVariableIsEmpty("OMP_THREAD_LIMIT");
    if (limitThreads)
        qputenv("OMP_THREAD_LIMIT", "1");
    const auto restore = qScopeGuard([limitThreads] {
        if (limitThreads)
            qunsetenv("OMP_THREAD_LIMIT");
    });
    const QString programDir = QCoreApplication::applicationDirPath();
    QStringList dirs = {programDir, QDir::cleanPath(programDir + QStringLiteral("/../lib/brightloom"))};
    if (!qEnvironmentVariableIsEmpty("BL_TEXT_MODULE_DIR"))
        dirs.prepend(qEnvironmentVariable("BL_TEXT_MODULE_DIR"));
    QStringList failures;
    g_filesBefore = BL::Platform::mappedFiles();
    for (const QString& dir : dirs) {
        // The loader adds the platform's suffix.
        auto loader = std::make_unique<QPluginLoader>(dir + QStringLiteral("/brightloom-text"));
        if (!QFileInfo::exists(loader->fileName()))
            continue;
        if (auto* engine = qobject_cast<CAbstractTextEngine*>(loader->instance())) {
            g_loader = std::move(loader);
            return engine;
        }
        failures << loader->errorString();
    }
    if (why)
        *why = failures.isEmpty()
                   ? QStringLiteral("the text module is in none of %1").arg(dirs.join(QStringLiteral(", ")))
                   : failures.join(QStringLiteral("; "));
    return nullptr;
}

void unloadTextEngine()
{
    if (!g_loader)
        return;
    g_loader->unload();
    g_loader.reset();
    // The engine's libraries stay mapped (they cannot be unloaded); their pages need not stay.
    BL::Platform::dropPagesOfFilesMappedSince(g_filesBefore);
}

} // namespace BL::Capture
