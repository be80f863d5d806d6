#include "procstats.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

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

bool waitForMainThreadAsleep(qint64 pid, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    const QString task = QStringLiteral("/proc/%1/task/%1/").arg(pid);
    do {
        QFile wchan(task + QStringLiteral("wchan")), stat(task + QStringLiteral("stat"));
        if (!wchan.open(QIODevice::ReadOnly) || !stat.open(QIODevice::ReadOnly))
            return false;
        // The state follows the command name, which is in parentheses.
        const QByteArray fields = stat.readAll();
        const int close = fields.lastIndexOf(')');
        if (wchan.readAll().contains("poll") && close > 0 && fields.mid(close + 2, 1) == "S")
            return true;
        QThread::usleep(500);
    } while (clock.elapsed() < timeoutMs);
    return false;
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

int openDescriptors(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid))
        .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot)
        .size();
}

int threadCount(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

QMap<QString, qint64> residentByMapping(qint64 pid)
{
    QMap<QString, qint64> groups;
    QFile smaps(QStringLiteral("/proc/%1/smaps").arg(pid));
    if (!smaps.open(QIODevice::ReadOnly))
        return groups;
    QString name;
    for (const QByteArray& line : smaps.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.isEmpty() || f.first().isEmpty())
            continue;
        if (f.first().contains('-') && !f.first().endsWith(':')) { // a mapping's head line
            const QString path = f.size() > 5 ? QString::fromUtf8(f.at(5)) : QString();
            name = path.isEmpty()         ? QStringLiteral("[anon]")
                   : path.startsWith('/') ? path.section('/', -1)
                                          : path;
        } else if (f.first() == "Size:" && name == QLatin1String("[anon]") && f.value(1) == "8192") {
            name = QStringLiteral("[thread stacks]");
        } else if (f.first() == "Rss:") {
            groups[name] += f.value(1).toLongLong();
        }
    }
    return groups;
}
