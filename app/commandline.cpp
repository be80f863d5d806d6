#include "app/commandline.h"

#include "app/logging.h"
#include "app/uploaddestinations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace BL::App {

namespace {

struct SActionOption
{
    const char* name; // the option without its dashes; also the word in the instance message
    EHotkey action;
};

constexpr SActionOption kActionOptions[] = {
    {"single-shot", SingleShotHotkey}, {"comparison-shot", ComparisonShotHotkey},
    {"local-shot", LocalShotHotkey},   {"toggle-drop-widget", DropWidgetHotkey},
    {"text-shot", TextShotHotkey},
};

const QString kWakeUp = QStringLiteral("Wake up!");
const QString kActionPrefix = QStringLiteral("action ");
const QString kUploadHead = QStringLiteral("upload");
const QString kImportHead = QStringLiteral("import-uploader");

SCommandLine invalid(const QString& error)
{
    SCommandLine command;
    command.kind = SCommandLine::Invalid;
    command.error = error;
    return command;
}

const SActionOption* actionNamed(const QString& name)
{
    for (const SActionOption& option : kActionOptions)
        if (name == QLatin1String(option.name))
            return &option;
    return nullptr;
}

} // namespace

SCommandLine parseCommandLine(const QStringList& args, const QDir& workingDir)
{
    SCommandLine command;
    auto setKind = [&command](SCommandLine::EKind kind) {
        if (command.kind != SCommandLine::Start)
            return false;
        command.kind = kind;
        return true;
    };
    const QString oneOnly = QStringLiteral("only one action can be given at a time");
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--version")) {
            if (!setKind(SCommandLine::Version))
                return invalid(oneOnly);
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            if (!setKind(SCommandLine::Help))
                return invalid(oneOnly);
        } else if (arg == QLatin1String("--upload")) {
            if (!setKind(SCommandLine::Upload))
                return invalid(oneOnly);
            // Everything after it is a file, even a name that starts with a dash.
            for (++i; i < args.size(); ++i) {
                const QFileInfo file(workingDir, args.at(i));
                if (!file.isFile())
                    return invalid(QStringLiteral("%1: no such file").arg(args.at(i)));
                command.files << file.absoluteFilePath();
            }
            if (command.files.isEmpty())
                return invalid(QStringLiteral("--upload needs at least one file"));
        } else if (arg == QLatin1String("--import-uploader")) {
            if (!setKind(SCommandLine::ImportUploader))
                return invalid(oneOnly);
            if (++i >= args.size())
                return invalid(QStringLiteral("--import-uploader needs a file"));
            // Read here, so that the person who typed it hears why a file is refused.
            const QFileInfo file(workingDir, args.at(i));
            QString reason;
            if (!CUploadDestinations::check(file.absoluteFilePath(), &reason))
                return invalid(reason);
            command.files << file.absoluteFilePath();
        } else if (const SActionOption* option =
                       arg.startsWith(QLatin1String("--")) ? actionNamed(arg.mid(2)) : nullptr) {
            if (!setKind(SCommandLine::Action))
                return invalid(oneOnly);
            command.action = option->action;
        } else if (arg.startsWith(QLatin1Char('-'))) {
            return invalid(QStringLiteral("unknown option '%1'").arg(arg));
        } else {
            return invalid(QStringLiteral("unexpected argument '%1'").arg(arg));
        }
    }
    return command;
}

QString commandLineUsage()
{
    return QStringLiteral(
        "Usage: brightloom [ACTION | --upload FILE... | --version | --help]\n"
        "Grab an area of the screen and share it at once; runs in the system tray.\n"
        "An action is handed to the running instance (which is started first when none runs);\n"
        "bind these commands to keys in the desktop's settings.\n"
        "\n"
        "Actions:\n"
        "  --single-shot         grab an area and upload it\n"
        "  --comparison-shot     grab two areas and upload them as a pair\n"
        "  --local-shot          grab an area and save it in the storage directory\n"
        "  --toggle-drop-widget  show or hide the drop widget\n"
        "  --text-shot           read the text of an area and copy it to the clipboard\n"
        "  --upload FILE...      upload picture files\n"
        "  --import-uploader FILE  upload to the image host a custom-uploader file describes\n"
        "\n"
        "Options:\n"
        "  --version  print the product version and exit\n"
        "  --help     print this help and exit\n"
        "\n"
        "Environment:\n"
        "  BL_SERVICE_HOST      web service host (host:port)\n"
        "  BL_BREAKPAD_URL      crash report endpoint\n"
        "  BL_DISABLE_BREAKPAD  \"yes\" switches crash reports off\n"
        "  BL_APPCAST_URL       update feed\n"
        "  BL_TESSDATA_DIR      text language data directory\n");
}

QString commandLineHint()
{
    return QCoreApplication::translate(
        "BL::App::CHotkeyTable",
        "This desktop gives Brightloom no global hotkeys. Bind keys to these commands in its keyboard "
        "settings:\nbrightloom --single-shot\nbrightloom --comparison-shot\nbrightloom --local-shot\n"
        "brightloom --toggle-drop-widget\nbrightloom --text-shot");
}

QString instanceMessage(const SCommandLine& command)
{
    switch (command.kind) {
    case SCommandLine::Action:
        for (const SActionOption& option : kActionOptions)
            if (option.action == command.action)
                return kActionPrefix + QLatin1String(option.name);
        break;
    case SCommandLine::ImportUploader:
        return kImportHead + QLatin1Char('\n') +
               QString::fromLatin1(QUrl::fromLocalFile(command.files.value(0)).toEncoded());
    case SCommandLine::Upload: {
        // One encoded file URL a line: a name may hold a line break, its URL cannot.
        QStringList lines{kUploadHead};
        for (const QString& file : command.files)
            lines << QString::fromLatin1(QUrl::fromLocalFile(file).toEncoded());
        return lines.join(QLatin1Char('\n'));
    }
    default:
        break;
    }
    return kWakeUp;
}

void CInstanceCommands::receive(const QString& message)
{
    if (message.startsWith(kActionPrefix)) {
        if (const SActionOption* option = actionNamed(message.mid(kActionPrefix.size()))) {
            emit actionRequested(option->action);
            return;
        }
    } else if (message.startsWith(kImportHead + QLatin1Char('\n'))) {
        const QUrl url = QUrl::fromEncoded(message.mid(kImportHead.size() + 1).toLatin1(), QUrl::StrictMode);
        if (url.isLocalFile()) {
            emit uploaderToImport(url.toLocalFile());
            return;
        }
    } else if (message.startsWith(kUploadHead + QLatin1Char('\n'))) {
        const QStringList lines = message.split(QLatin1Char('\n')).mid(1);
        for (const QString& line : lines) {
            const QUrl url = QUrl::fromEncoded(line.toLatin1(), QUrl::StrictMode);
            if (url.isLocalFile())
                emit fileToUpload(url.toLocalFile());
            else
                qCInfo(lcApp) << "not a local file in an upload message:" << line.left(80);
        }
        return;
    }
    if (message != kWakeUp)
        qCInfo(lcApp) << "message from another start not understood; taken as a wake-up:" << message.left(80);
}

} // namespace BL::App
