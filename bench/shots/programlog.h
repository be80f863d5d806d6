#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>

namespace BL::Test {
class CProgram;
}

// Reads the program's standard error as it comes, one cursor per kind of line: a wait for one
// kind never skips a line of another, and a long soak is not scanned from the start each time.
class CProgramLog
{
public:
    explicit CProgramLog(BL::Test::CProgram& program);

    // Waits for the next line holding `word` after the last one found (or after the mark) and
    // gives the numbers that follow the word in it; false after `timeoutMs`.
    bool waitFor(const QByteArray& word, int timeoutMs, QList<qint64>* numbers = nullptr);
    // Lines holding `word` written so far are passed over by the next wait.
    void skipPast(const QByteArray& word);

private:
    BL::Test::CProgram& m_program;
    QHash<QByteArray, int> m_cursors;
};
