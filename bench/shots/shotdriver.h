#pragma once

#include <QDir>
#include <QProcessEnvironment>
#include <QRect>
#include <QSize>

class CProgramLog;
class CXWatcher;
namespace BL::Test {
class CProgram;
}

// Takes shots of every kind as a person does, through the X server, and times them from outside
// the program; the program's own timing lines (brightloom.perf) add what only it can see.
class CShotDriver
{
public:
    enum EKind { Upload, Local, Comparison, Url, FileHandOff, KindCount };
    static const char* kindName(EKind kind);

    struct SShot
    {
        double toMap = -1;       // hotkey -> overlay mapped (ms); shots with an overlay
        double toSlot = -1;      // hotkey -> the program acts on it (ms): delivery and a busy loop
        double toClipboard = -1; // release (or the last key) -> link on the clipboard (ms)
        double toDone = -1;      // release -> upload acknowledged, or -> complete file (ms)
        double toGone = -1;      // release -> overlay unmapped (ms); local shots
        double maxBlock = -1;    // longest GUI stall from the overlay to the end (ms); overlay shots
        double faults = 0;       // minor page faults of the program during the shot
    };

    // `env` is the program's user's, for the file manager's client; `tray` the icon's window.
    CShotDriver(BL::Test::CProgram& program, CProgramLog& log, CXWatcher& x, QSize screen,
                const QDir& shotsDir, QProcessEnvironment env, quint64 trayIcon);

    // A full-screen upload.
    // `fromRest`: the hotkey waits until the program's main thread sleeps, done with the shot
    // before; otherwise it comes as soon as that shot's upload is acknowledged.
    bool uploadShot(int shot, SShot* out, bool fromRest = false);
    // A local shot of `area`: the overlay must go at once, the file follows.
    bool localShot(int shot, QRect area, SShot* out);
    // Two areas uploaded as a pair.
    bool comparisonShot(int shot, QRect first, QRect second, SShot* out);
    // "Upload image from URL..." from the tray menu, `url` typed into its box.
    bool urlShot(int shot, const QByteArray& url, SShot* out);
    // `file` handed over by the file managers' client, as its menu entry does.
    bool fileShot(int shot, const QString& file, SShot* out);

    int failures(EKind kind) const { return m_failures[kind]; }
    int failures() const;
    // Times the bench had to do again what it sent too early for the program (not failures).
    int repeats(EKind kind) const { return m_repeats[kind]; }

private:
    void failure(EKind kind, int shot, const char* why);
    // Hotkey ctrl+alt+`letter`, then the overlay over the whole screen; its window or 0.
    unsigned long openOverlay(const char* letter, SShot* out, bool fromRest = false);
    void dragOver(QRect area);
    // The link on the clipboard and the program's acknowledgement, timed from `since`.
    bool waitForUpload(EKind kind, int shot, qint64 since, SShot* out);

    BL::Test::CProgram& m_program;
    CProgramLog& m_log;
    CXWatcher& m_x;
    QSize m_screen;
    QDir m_shotsDir;
    QProcessEnvironment m_env;
    quint64 m_trayIcon;
    int m_failures[KindCount] = {};
    int m_repeats[KindCount] = {};
};
