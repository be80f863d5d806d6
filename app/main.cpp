#include "app/brightloommainwidget.h"
#include "diagnostics/crashreporter.h"
#include "platform/processtuning.h"
#include "platform/singleapplication.h"
#include "platform/termination.h"
#include "resources/resources.h"

#include <QDir>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTextCodec>

int main(int argc, char** argv)
{
    BL::Platform::tuneProcessBeforeGui();
    CSingleApplication app(argc, argv);
    if (app.sendMessage(QStringLiteral("Wake up!"), 5000))
        return 0;

    BL::Resources::registerResources();

    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        QMessageBox::critical(nullptr, QObject::tr("Systray"),
                              QObject::tr("I couldn't detect any system tray on this system."),
                              QMessageBox::Ok);
        return 1;
    }

    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setApplicationName(QStringLiteral("brightloom"));

    // Plugins shipped beside the program; a missing directory is harmless.
    QDir pluginsDir(QCoreApplication::applicationDirPath());
    pluginsDir.cdUp();
    pluginsDir.cd(QStringLiteral("plugins"));
    QCoreApplication::addLibraryPath(pluginsDir.absolutePath());

    BL::Platform::quitOnTerminationRequest();

    std::shared_ptr<CAbstractCrashReporter> crashReporter = createCrashReporter();

    int status = 0;
    {
        auto mainWidget = std::make_unique<CBrightloomMainWidget>(crashReporter);
        app.setActivationWindow(mainWidget.get(), true);
        status = app.exec();
    }
    crashReporter.reset();
    return status;
}
