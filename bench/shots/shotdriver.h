#pragma once

#include <QDir>
#include <QRect>
#include <QRegularExpression>
#include <QSize>

class CXWatcher;
namespace BL::Test {
class CProgram;
}

// Takes shots as a person does, through the X server, and times them from outside the
// program; the program's own timing lines (brightloom.perf) add what only it can see.
class CShotDriver
{
public:
    struct SUploadShot
    {
        double toMap = 0, toClipboard = 0, toUploaded = 0, maxBlock = 0, faults = 0;
    };
    struct SLocalShot
    {
        double toGone = 0, toFile = 0, maxBlock = -1; // maxBlock -1: the program's line not seen yet
    };

    CShotDriver(BL::Test::CProgram& program, CXWatcher& x, QSize screen, const QDir& shotsDir);

    // One full-screen upload shot; false when it did not complete.
    bool uploadShot(int shot, SUploadShot* out);
    // One local shot of `area`: the overlay must go at once, the file follows.
    bool localShot(int shot, QRect area, SLocalShot* out);

    int failures() const { return m_failures; }

private:
    void failure(int shot, const char* why);

    BL::Test::CProgram& m_program;
    CXWatcher& m_x;
    QSize m_screen;
    QDir m_shotsDir;
    const QRegularExpression m_uploadedRe{QStringLiteral("perf uploaded (\\d+) max-block (\\d+)")};
    const QRegularExpression m_savedRe{QStringLiteral("perf saved (\\d+) max-block (\\d+)")};
    int m_uploadedSeen = 0, m_savedSeen = 0, m_failures = 0;
};
