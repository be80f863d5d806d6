// brightloom-upload FILE...: hands pictures to the running Brightloom, which uploads each
// and puts its link on the clipboard. The file managers' "Upload with Brightloom" calls it.
#include "shell/uploadmessage.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QTextCodec>
#include <cstdio>
#include <cstring>

namespace {

enum EExit { AllHandedOver = 0, SomeRefused = 1, Usage = 2, NotRunning = 3 };

constexpr int kConnectMs = 3000;
// The program answers by closing the connection once it has taken the path; loading a
// large picture may take it a moment.
constexpr int kTakenMs = 15000;

const char kUsage[] = "Usage: brightloom-upload [--] FILE...\n"
                      "Hands each picture to the running Brightloom, which uploads it and puts\n"
                      "its link on the clipboard.\n"
                      "Exit status: 0 every file handed over; 1 a file was refused or not taken;\n"
                      "2 wrong usage; 3 Brightloom is not running.\n";

struct SFile
{
    const char* argument; // as given, for messages
    QString path;         // absolute
};

void complain(const char* argument, const QString& why)
{
    std::fprintf(stderr, "brightloom-upload: %s: %s\n", argument, why.toLocal8Bit().constData());
}

// The absolute path to send, or empty after saying why the file cannot go.
QString checkedPath(const char* argument)
{
    const QByteArray raw(argument);
    const QString name = QFile::decodeName(raw);
    if (QFile::encodeName(name) != raw) {
        complain(argument, QStringLiteral("the name is not valid UTF-8 and cannot be handed over"));
        return QString();
    }
    const QFileInfo info(name);
    if (!info.exists()) {
        complain(argument, QStringLiteral("no such file"));
        return QString();
    }
    if (!info.isFile()) {
        complain(argument, QStringLiteral("not a regular file"));
        return QString();
    }
    const QString path = info.absoluteFilePath();
    if (path.size() > BL::Shell::kMaxUploadPathUnits) {
        complain(argument,
                 QStringLiteral("the full path is %1 UTF-16 code units long; at most %2 can be handed over")
                     .arg(path.size())
                     .arg(BL::Shell::kMaxUploadPathUnits));
        return QString();
    }
    return path;
}

enum class ESent { Taken, NotRunning, Failed };

ESent send(const SFile& file)
{
    QLocalSocket socket;
    socket.connectToServer(BL::Shell::uploadPipeName());
    if (!socket.waitForConnected(kConnectMs)) {
        const auto error = socket.error();
        if (error == QLocalSocket::ServerNotFoundError || error == QLocalSocket::ConnectionRefusedError)
            return ESent::NotRunning;
        complain(file.argument, QStringLiteral("cannot reach Brightloom: ") + socket.errorString());
        return ESent::Failed;
    }
    socket.write(BL::Shell::encodeUploadMessage(file.path));
    while (socket.bytesToWrite() > 0)
        if (!socket.waitForBytesWritten(kTakenMs)) {
            complain(file.argument, QStringLiteral("Brightloom did not take it: ") + socket.errorString());
            return ESent::Failed;
        }
    if (socket.state() != QLocalSocket::UnconnectedState && !socket.waitForDisconnected(kTakenMs)) {
        complain(file.argument,
                 QStringLiteral("Brightloom did not take it within %1 s").arg(kTakenMs / 1000));
        return ESent::Failed;
    }
    return ESent::Taken;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The program reads names as UTF-8 whatever the locale says; so do we.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));

    QList<SFile> files;
    bool refused = false;
    bool optionsEnded = false;
    int given = 0;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (!optionsEnded && std::strcmp(argument, "--") == 0) {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && (std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0)) {
            std::fputs(kUsage, stdout);
            return AllHandedOver;
        }
        if (!optionsEnded && argument[0] == '-' && argument[1] != '\0') {
            std::fprintf(stderr, "brightloom-upload: unknown option %s\n%s", argument, kUsage);
            return Usage;
        }
        ++given;
        const QString path = checkedPath(argument);
        if (path.isEmpty())
            refused = true;
        else
            files.append({argument, path});
    }
    if (given == 0) {
        std::fputs(kUsage, stderr);
        return Usage;
    }

    for (const SFile& file : qAsConst(files)) {
        const ESent sent = send(file);
        if (sent == ESent::NotRunning) {
            std::fputs("brightloom-upload: Brightloom is not running, so nothing was uploaded.\n"
                       "Start Brightloom, then try again.\n",
                       stderr);
            return NotRunning;
        }
        if (sent == ESent::Failed)
            refused = true;
    }
    return refused ? SomeRefused : AllHandedOver;
}
