#pragma once

#include <QPoint>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <memory>

// Helpers for tests that run inside scripts/with-x.sh: drive the X server with
// the command-line tools and run the real program as a child process.
namespace BL::Test {

// Runs a command to completion; returns its standard output (trimmed).
QString run(const QString& program, const QStringList& args, int* exitCode = nullptr, int timeoutMs = 10000);
QString xdotool(const QStringList& args, int* exitCode = nullptr);

// Window ids (decimal) of the icons docked in the tray host.
QStringList trayIconWindows();
QRect windowGeometry(const QString& windowId);
// Windows (decimal ids) whose title matches `name`, visible only.
QStringList visibleWindowsNamed(const QString& name);

// The text on the clipboard, read with xclip.
QString clipboard();
// Presses the left button at `from`, moves through the middle to `to` and releases it there.
void drag(QPoint from, QPoint to);

class CProgram;

// Opens the context menu of the newest tray icon of `program` and returns the id of the menu's
// window once the program has announced that the menu has the keyboard and the window is on the
// screen, empty when it never showed. A click that a balloon over the icon took is repeated.
QString openTrayMenu(CProgram& program);
// Opens the tray menu and types `keys` into it; after each "Right" the submenu it opens must be
// on the screen before the next key. False when the menu or one of those submenus never showed.
bool walkTrayMenu(CProgram& program, const QStringList& keys);
// Opens the tray menu and closes it again: the program handles the click after everything it
// was sent before, so what that caused is on the screen by now. False when the menu never
// showed or stayed open.
bool glanceAtTrayMenu(CProgram& program);
// Picks the entry `downs` steps from the top (separators and hidden entries are skipped by
// the menu itself).
bool chooseTrayEntry(CProgram& program, int downs);
// "&Quit", the last entry: true when the program then ended with status 0.
bool quitFromTrayMenu(CProgram& program, int timeoutMs = 15000);
// Makes `windowId` the active window and waits until the window manager says so.
bool activateWindow(const QString& windowId);
// Waits for a visible window whose whole title is `title`, activates it and returns its id,
// or empty after `timeoutMs`.
QString waitForWindow(const QString& title, int timeoutMs = 5000);
// Answers "Yes" in the delete confirmation that follows the `asked`-th one the program logged,
// and waits for the box to close. False when it never asked or the box stayed.
bool confirmDeletion(CProgram& program, int asked, int timeoutMs = 15000);

// Waits until the program shows no window but its tray icon: no balloon, menu or dialog. A
// tray menu opened while a balloon is up may lose the keys typed into it.
bool waitForTrayAtRest(int timeoutMs = 15000);

// True while the program shows its full-screen host window (an overlay or help screen).
bool programOverlayShown(int screenWidth = 1280);
// True while that window covers the screen from its top left corner: a comparison's overlay,
// moved away for the first grab, is back for the second area.
bool programOverlayInPlace(int screenWidth = 1280);

// A fresh private environment: HOME, XDG_CONFIG_HOME, XDG_DATA_HOME,
// XDG_RUNTIME_DIR below `root` (another "user" of this machine).
QProcessEnvironment privateUserEnvironment(const QString& root);

// The real program as a child process.
class CProgram
{
public:
    explicit CProgram(QProcessEnvironment env = QProcessEnvironment::systemEnvironment());
    ~CProgram();

    static QString binaryPath();

    bool start(const QStringList& args = {});
    // Waits until a new icon docks in the tray; returns its window id or empty.
    QString waitForTrayIcon(const QStringList& iconsBefore, int timeoutMs = 15000);
    bool waitForExit(int timeoutMs = 10000);
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    qint64 pid() const { return m_process.processId(); }
    void terminate();
    void kill();
    // Everything the program wrote to stderr so far.
    QString errorOutput();
    // The same, undecoded: for a reader that keeps its place in a long output.
    const QByteArray& errorBytes();

    QProcess& process() { return m_process; }

private:
    QProcess m_process;
    QByteArray m_stderr;
};

// Writes `settings` into the settings file of the private user below `userRoot` (see
// privateUserEnvironment), starts the program with `env` and waits for its tray icon.
// Null when it did not start or dock.
std::unique_ptr<CProgram> startDockedProgram(const QString& userRoot, const QProcessEnvironment& env,
                                             const QVariantMap& settings);

} // namespace BL::Test
