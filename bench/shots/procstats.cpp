#include "procstats.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

qint64 minorFaults(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command name, which may itself hold spaces; minflt is the 10th field.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 7 ? fields.at(7).toLongLong() : -1;
}

qint64 rssKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression re(QStringLiteral("VmRSS:\\s+(\\d+)"));
    const auto m = re.match(QString::fromLatin1(status.readAll()));
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

qint64 contextSwitches(qint64 pid, bool mainThreadOnly)
{
    qint64 sum = 0;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (mainThreadOnly && tid.toLongLong() != pid)
            continue;
        QFile status(tasks + "/" + tid + "/status");
        if (!status.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromLatin1(status.readAll());
        for (auto it = QRegularExpression(QStringLiteral("ctxt_switches:\\s+(\\d+)")).globalMatch(text);
             it.hasNext();)
            sum += it.next().captured(1).toLongLong();
    }
    return sum;
}
