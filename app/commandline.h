#pragma once

#include "app/hotkeytable.h"

#include <QObject>
#include <QString>
#include <QStringList>

class QDir;

namespace BL::App {

// What one start of the program asks for. Desktops bind their keys to these commands, so an
// action reaches the running instance however the keys are grabbed (or when they cannot be).
struct SCommandLine
{
    enum EKind {
        Start,   // no option: start, or wake the running instance
        Action,  // one of the hotkey actions, in `action`
        Upload,  // `files` (absolute paths)
        Version, // print the version
        Help,    // print the usage
        Invalid, // `error` says why
        // One custom-uploader file, in `files`, already read and accepted.
        ImportUploader,
    };
    EKind kind = Start;
    EHotkey action = HotkeyCount;
    QStringList files;
    QString error;
};

// Reads the arguments left after the program name and Qt's own options. Relative file names
// are taken from `workingDir`; a file that is not there is refused here, where the person
// who typed it reads the answer.
SCommandLine parseCommandLine(const QStringList& args, const QDir& workingDir);

// The usage text of --help, naming every action a desktop can bind.
QString commandLineUsage();

// The balloon for desktops that bind no keys for us: the commands to bind in their settings.
QString commandLineHint();

// The single-instance message that carries `command` to the running instance
// ("Wake up!" for a plain start).
QString instanceMessage(const SCommandLine& command);

// The running instance's end of the channel: turns each message from a later start into
// what it asks for. "Wake up!" and anything it does not know only wake the instance.
class CInstanceCommands : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CInstanceCommands)

public:
    explicit CInstanceCommands(QObject* parent) : QObject(parent) {}

public slots:
    void receive(const QString& message);

signals:
    void actionRequested(BL::App::EHotkey action);
    void fileToUpload(const QString& fileName);
    void uploaderToImport(const QString& fileName);
};

} // namespace BL::App
