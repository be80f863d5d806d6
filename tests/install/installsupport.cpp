#include "installsupport.h"

#include "serviceprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTextStream>
#include <QThread>

namespace BL::Test {

SToolResult runTool(const QString& program, const QStringList& args, int timeoutMs,
                    const QProcessEnvironment& env)
{
    SToolResult result;
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    if (!process.waitForStarted(10000)) {
        result.output = program + QStringLiteral(" did not start: ") + process.errorString();
        return result;
    }
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.output = QString::fromLocal8Bit(process.readAll());
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

bool succeeded(const SToolResult& result, QString* why)
{
    if (result.finished && result.exitCode == 0)
        return true;
    *why = (result.finished ? QStringLiteral("exit code %1").arg(result.exitCode)
                            : QStringLiteral("timed out")) +
           QStringLiteral(":\n") + result.output;
    return false;
}

QStringList filesBelow(const QString& root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext())
        files << base.relativeFilePath(it.next());
    files.sort();
    return files;
}

QString keyValue(const QString& file, const QString& key)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QTextStream stream(&in);
    const QString prefix = key + QLatin1Char('=');
    while (!stream.atEnd()) {
        const QString line = stream.readLine();
        if (line.startsWith(prefix))
            return line.mid(prefix.size());
    }
    return {};
}

bool unitServiceAnswersAbout(const QString& unitFile, const QString& stateRoot, QString* log)
{
    // As systemd would: the state directory exists before the start, %S is its parent, and the
    // listening address comes from the environment (here a free loopback port, as an
    // /etc/default/brightloom-server would set it).
    QString command = keyValue(unitFile, QStringLiteral("ExecStart"));
    if (command.isEmpty()) {
        *log = QStringLiteral("no ExecStart in ") + unitFile;
        return false;
    }
    const QString stateDirectory = keyValue(unitFile, QStringLiteral("StateDirectory"));
    if (stateDirectory.isEmpty() || !QDir().mkpath(stateRoot + QLatin1Char('/') + stateDirectory)) {
        *log = QStringLiteral("no state directory could be made for ") + unitFile;
        return false;
    }
    command.replace(QStringLiteral("%S"), stateRoot);
    command.replace(QStringLiteral("${BL_SERVER_LISTEN}"), QStringLiteral("127.0.0.1:0"));
    if (command.contains(QLatin1Char('%')) || command.contains(QLatin1Char('$'))) {
        *log = QStringLiteral("the test does not know every specifier of: ") + command;
        return false;
    }
    QStringList args = command.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString program = args.takeFirst();

    QProcess service;
    service.setProcessChannelMode(QProcess::MergedChannels);
    service.start(program, args);
    if (!service.waitForStarted(10000)) {
        *log = program + QStringLiteral(" did not start: ") + service.errorString();
        return false;
    }
    static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QString output;
    int port = 0;
    for (QDeadlineTimer deadline(20000); !deadline.hasExpired() && port == 0;) {
        service.waitForReadyRead(200);
        output += QString::fromLocal8Bit(service.readAll());
        const QRegularExpressionMatch m = listening.match(output);
        if (m.hasMatch())
            port = m.captured(1).toInt();
        if (service.state() == QProcess::NotRunning)
            break;
    }
    bool answered = false;
    if (port != 0) {
        const SHttpResult about = httpGet(QStringLiteral("http://127.0.0.1:%1/about").arg(port));
        answered = about.status == 200 && about.body.contains("Brightloom");
        if (!answered)
            output += QStringLiteral("\n/about answered %1").arg(about.status);
    }
    service.terminate();
    if (!service.waitForFinished(10000))
        service.kill();
    output += QString::fromLocal8Bit(service.readAll());
    *log = command + QLatin1Char('\n') + output;
    return answered;
}

} // namespace BL::Test
