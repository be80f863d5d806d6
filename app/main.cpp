#include "app/brightloommainwidget.h"
#include "app/commandline.h"
#include "app/traypresenter.h"
#include "diagnostics/crashreporter.h"
#include "diagnostics/productversion.h"
#include "platform/processtuning.h"
#include "platform/singleapplication.h"
#include "platform/termination.h"
#include "platform/utf8codec.h"
#include "resources/resources.h"

#include <QDir>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <cstdio>

namespace {

// Answers --version, --help and a wrong command line. Returns the exit status, or -1 when the
// program is to go on.
int answerCommandLine(const BL::App::SCommandLine& command)
{
    switch (command.kind) {
    case BL::App::SCommandLine::Version:
        std::printf("brightloom %s\n", productVersion().toUtf8().constData());
        return 0;
    case BL::App::SCommandLine::Help:
        std::fputs(BL::App::commandLineUsage().toLocal8Bit().constData(), stdout);
        return 0;
    case BL::App::SCommandLine::Invalid:
        std::fprintf(stderr, "brightloom: %s\nTry 'brightloom --help' for the options.\n",
                     command.error.toLocal8Bit().constData());
        return 2;
    default:
        return -1;
    }
}

} // namespace

int main(int argc, char** argv)
{
    // Names, arguments and settings are UTF-8 whatever the session's locale says.
    BL::Platform::useUtf8ForLocale();
    // One option alone is answered before anything needs a display; a longer command line may
    // carry Qt's own options and is read once the application object took those.
    if (argc == 2) {
        const BL::App::SCommandLine alone =
            BL::App::parseCommandLine({QString::fromLocal8Bit(argv[1])}, QDir::current());
        if (alone.kind == BL::App::SCommandLine::Version || alone.kind == BL::App::SCommandLine::Help)
            return answerCommandLine(alone);
    }
    BL::Platform::tuneProcessBeforeGui();
    CSingleApplication app(argc, argv);
    const BL::App::SCommandLine command = BL::App::parseCommandLine(app.arguments().mid(1), QDir::current());
    const int answered = answerCommandLine(command);
    if (answered >= 0)
        return answered;
    const QString message = BL::App::instanceMessage(command);
    if (app.sendMessage(message, 5000))
        return 0;

    BL::Resources::registerResources();

    if (!BL::App::CTrayPresenter::systemTrayAvailable()) {
        QMessageBox::critical(nullptr, QObject::tr("Systray"),
                              QObject::tr("I couldn't detect any system tray on this system."),
                              QMessageBox::Ok);
        return 1;
    }

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
        QObject::connect(&app, &CSingleApplication::messageReceived, mainWidget.get(),
                         &CBrightloomMainWidget::runInstanceCommand);
        // No instance took the action: this start performs it, once the event loop runs.
        if (command.kind != BL::App::SCommandLine::Start)
            QMetaObject::invokeMethod(
                mainWidget.get(),
                [widget = mainWidget.get(), message] { widget->runInstanceCommand(message); },
                Qt::QueuedConnection);
        status = app.exec();
    }
    crashReporter.reset();
    return status;
}
