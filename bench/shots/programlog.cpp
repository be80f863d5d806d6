#include "programlog.h"

#include "x11session.h"
#include "xwatcher.h"

CProgramLog::CProgramLog(BL::Test::CProgram& program) : m_program(program)
{
    // waitForReadyRead() then wakes for the lines of standard error.
    m_program.process().setReadChannel(QProcess::StandardError);
}

bool CProgramLog::waitFor(const QByteArray& word, int timeoutMs, QList<qint64>* numbers)
{
    const qint64 deadline = nowUs() + qint64(timeoutMs) * 1000;
    int& cursor = m_cursors[word];
    for (;;) {
        const QByteArray& text = m_program.errorBytes();
        const int at = text.indexOf(word, cursor);
        const int end = at < 0 ? -1 : text.indexOf('\n', at);
        if (end >= 0) {
            cursor = end + 1;
            if (numbers) {
                numbers->clear();
                for (const QByteArray& field :
                     text.mid(at + word.size(), end - at - word.size()).split(' ')) {
                    bool ok = false;
                    const qint64 n = field.toLongLong(&ok);
                    if (ok)
                        *numbers << n;
                }
            }
            return true;
        }
        const qint64 left = (deadline - nowUs()) / 1000;
        if (left <= 0 || !m_program.isRunning())
            return false;
        m_program.process().waitForReadyRead(int(qMin<qint64>(left, 100)));
    }
}

void CProgramLog::skipPast(const QByteArray& word)
{
    const QByteArray& text = m_program.errorBytes();
    const int last = text.lastIndexOf(word);
    const int end = last < 0 ? -1 : text.indexOf('\n', last);
    if (end >= 0)
        m_cursors[word] = end + 1;
}
