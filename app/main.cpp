#include "app/brightloommainwidget.h"
#include "app/traypresenter.h"
#include "diagnostics/crashreporter.h"
#include "diagnostics/productversion.h"
#include "platform/processtuning.h"
#include "platform/singleapplication.h"
#include "platform/termination.h"
#include "resources/resources.h"

#include <QDir>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTextCodec>
#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] = "Usage: brightloom [--version | --help]\n"
                      "Grab an area of the screen and share it at once; runs in the system tray.\n"
                      "\n"
                      "Options:\n"
                      "  --version  print the product version and exit\n"
                      "  --help     print this help and exit\n"
                      "\n"
                      "Environment:\n"
                      "  BL_SERVICE_HOST      web service host (host:port)\n"
                      "  BL_BREAKPAD_URL      crash report endpoint\n"
                      "  BL_DISABLE_BREAKPAD  \"yes\" switches crash reports off\n"
                      "  BL_APPCAST_URL       update feed\n";

// Answers --version and --help before anything needs a display. Returns the exit status, or -1
// when the program is to start normally.
int answerCommandLine(int argc, char** argv)
{
    // Anything else, Qt's own options among them, is left to the application object.
    if (argc != 2)
        return -1;
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("brightloom %s\n", productVersion().toUtf8().constData());
        return 0;
    }
    if ((std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    const int answered = answerCommandLine(argc, argv);
    if (answered >= 0)
        return answered;
    BL::Platform::tuneProcessBeforeGui();
    CSingleApplication app(argc, argv);
    if (app.sendMessage(QStringLiteral("Wake up!"), 5000))
        return 0;

    BL::Resources::registerResources();

    if (!BL::App::CTrayPresenter::systemTrayAvailable()) {
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
