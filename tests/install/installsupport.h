#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Runs the tools an installation is checked with: cmake, cpack, the validators of the Debian
// packages, and the installed programs themselves.
namespace BL::Test {

struct SToolResult
{
    bool finished = false;
    int exitCode = -1;
    QString output; // standard output and error, interleaved
};

SToolResult runTool(const QString& program, const QStringList& args, int timeoutMs = 120000,
                    const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());

// True when `result` ended with status 0; otherwise a description for QVERIFY2.
bool succeeded(const SToolResult& result, QString* why);

// Every file below `root`, as paths relative to it, sorted.
QStringList filesBelow(const QString& root);

// The value of `key` in the first group of a desktop entry or unit file, empty when missing.
QString keyValue(const QString& file, const QString& key);

// Starts the service with the command line of an installed unit, its state directory below
// `stateRoot` and a free loopback port, and answers whether it serves /about. `log` gets
// what the service wrote.
bool unitServiceAnswersAbout(const QString& unitFile, const QString& stateRoot, QString* log);

} // namespace BL::Test
