#include "shell/shellregistration.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>

namespace BL::Shell {
namespace {

// The context-menu module lies beside the program; regsvr32 enters it into (or removes it
// from) the registry. /s keeps the tool silent, and its exit code is not looked at: the
// program works without the menu entry.
class CRegsvr32Registration : public CAbstractShellRegistration
{
public:
    void registerExtension() override { run(QStringLiteral("Regsvr32.exe /s \"%1/shellext.dll\"")); }
    void unregisterExtension() override { run(QStringLiteral("Regsvr32.exe /u /s \"%1/shellext.dll\"")); }

private:
    static void run(const QString& command)
    {
        // The quotes keep a directory with blanks together as one argument.
        QStringList args = QProcess::splitCommand(command.arg(QCoreApplication::applicationDirPath()));
        const QString program = args.takeFirst();
        QProcess::execute(program, args);
    }
};

} // namespace

std::unique_ptr<CAbstractShellRegistration> createShellRegistration()
{
    return std::make_unique<CRegsvr32Registration>();
}

} // namespace BL::Shell
