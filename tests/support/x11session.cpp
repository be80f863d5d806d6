#include "x11session.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <QThread>
#include <QtTest>
#include <algorithm>

namespace BL::Test {

QString run(const QString& program, const QStringList& args, int* exitCode, int timeoutMs)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
    }
    if (exitCode)
        *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

QString xdotool(const QStringList& args, int* exitCode)
{
    return run(QStringLiteral("xdotool"), args, exitCode);
}

static QStringList lines(const QString& text)
{
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList trayIconWindows()
{
    // trayer reparents every docked icon into its "panel" window.
    QStringList icons;
    for (const QString& panel : lines(
             xdotool({QStringLiteral("search"), QStringLiteral("--classname"), QStringLiteral("^panel$")}))) {
        const QString tree =
            run(QStringLiteral("xwininfo"), {QStringLiteral("-tree"), QStringLiteral("-id"), panel});
        static const QRegularExpression child(QStringLiteral("^\\s+(0x[0-9a-f]+) .*\\(\"brightloom\""),
                                              QRegularExpression::MultilineOption);
        auto it = child.globalMatch(tree);
        while (it.hasNext()) {
            bool ok = false;
            const qulonglong id = it.next().captured(1).toULongLong(&ok, 16);
            if (ok)
                icons << QString::number(id);
        }
    }
    return icons;
}

QRect windowGeometry(const QString& windowId)
{
    const QString info = xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), windowId});
    QRect r;
    for (const QString& line : lines(info)) {
        const auto kv = line.split(QLatin1Char('='));
        if (kv.size() != 2)
            continue;
        const int v = kv[1].toInt();
        if (kv[0] == QLatin1String("X"))
            r.moveLeft(v);
        else if (kv[0] == QLatin1String("Y"))
            r.moveTop(v);
        else if (kv[0] == QLatin1String("WIDTH"))
            r.setWidth(v);
        else if (kv[0] == QLatin1String("HEIGHT"))
            r.setHeight(v);
    }
    return r;
}

QStringList visibleWindowsNamed(const QString& name)
{
    return lines(
        xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), name}));
}

QString clipboard()
{
    return run(QStringLiteral("xclip"),
               {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
}

void drag(QPoint from, QPoint to)
{
    const auto at = [](QPoint p) { return QStringList{QString::number(p.x()), QString::number(p.y())}; };
    xdotool(QStringList{QStringLiteral("mousemove")} + at(from) +
            QStringList{QStringLiteral("mousedown"), QStringLiteral("1")});
    xdotool(QStringList{QStringLiteral("mousemove")} + at((from + to) / 2));
    xdotool(QStringList{QStringLiteral("mousemove")} + at(to) +
            QStringList{QStringLiteral("mouseup"), QStringLiteral("1")});
}

static QStringList programWindows()
{
    return lines(xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                          QStringLiteral("--classname"), QStringLiteral("brightloom")}));
}

// Whether the window is a menu: a balloon or a dialog appearing meanwhile is a new window of the
// program too, and keys typed into it are lost to the menu.
static bool isMenuWindow(const QString& id)
{
    const QString type =
        run(QStringLiteral("xprop"), {QStringLiteral("-id"), id, QStringLiteral("_NET_WM_WINDOW_TYPE")});
    return type.contains(QLatin1String("_NET_WM_WINDOW_TYPE_POPUP_MENU")) ||
           type.contains(QLatin1String("_NET_WM_WINDOW_TYPE_DROPDOWN_MENU"));
}

QString openTrayMenu(CProgram& program)
{
    // A look at the tray host can come back empty while it lays its icons out again.
    QStringList icons;
    if (!QTest::qWaitFor([&icons] { return !(icons = trayIconWindows()).isEmpty(); }, 15000))
        return QString();
    const QRect icon = windowGeometry(icons.last());
    // Keys sent once the menu's window is on the screen can still come before its keyboard grab,
    // and go elsewhere: the program says when the grab is in place.
    const auto announced = [&program] {
        return program.errorOutput().count(QLatin1String("tray menu has the keyboard"));
    };
    const QStringList windowsBefore = programWindows();
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int before = announced();
        xdotool({QStringLiteral("mousemove"), QString::number(icon.center().x()),
                 QString::number(icon.center().y()), QStringLiteral("click"), QStringLiteral("3")});
        if (!QTest::qWaitFor([&] { return announced() > before; }, 5000)) {
            qWarning("the program did not say its tray menu has the keyboard; clicking again");
            continue;
        }
        // The menu pops up as a new visible window of the program; keys sent before it is there
        // would go to another window.
        QString menu;
        (void)QTest::qWaitFor(
            [&] {
                for (const QString& id : programWindows())
                    if (!windowsBefore.contains(id) && isMenuWindow(id))
                        menu = id;
                return !menu.isEmpty();
            },
            5000);
        if (!menu.isEmpty())
            return menu;
        qWarning("the program's tray menu had the keyboard, but no menu window is on the screen (%s); "
                 "program windows before: %s, now: %s",
                 qPrintable(program.errorOutput().count(QLatin1String("tray menu hidden")) > 0
                                ? QStringLiteral("the program has hidden a menu")
                                : QStringLiteral("the program never hid it")),
                 qPrintable(windowsBefore.join(QLatin1Char(' '))),
                 qPrintable(programWindows().join(QLatin1Char(' '))));
        // A menu still open somewhere would swallow the next click on the icon.
        xdotool({QStringLiteral("key"), QStringLiteral("Escape")});
    }
    return QString();
}

bool walkTrayMenu(CProgram& program, const QStringList& keys)
{
    if (openTrayMenu(program).isEmpty())
        return false;
    // Keys within one menu reach it in order; only a submenu is a new window, which the keys
    // after "Right" are for, so each "Right" waits for that window to be on the screen.
    QStringList pending;
    for (const QString& key : keys) {
        pending << key;
        if (key != QLatin1String("Right"))
            continue;
        const QStringList before = programWindows();
        xdotool(QStringList{QStringLiteral("key")} + pending);
        pending.clear();
        const bool shown = QTest::qWaitFor(
            [&before] {
                const QStringList now = programWindows();
                return std::any_of(now.cbegin(), now.cend(), [&before](const QString& id) {
                    return !before.contains(id) && isMenuWindow(id);
                });
            },
            5000);
        if (!shown)
            return false;
    }
    if (!pending.isEmpty())
        xdotool(QStringList{QStringLiteral("key")} + pending);
    return true;
}

bool glanceAtTrayMenu(CProgram& program)
{
    const QString menu = openTrayMenu(program);
    if (menu.isEmpty())
        return false;
    xdotool({QStringLiteral("key"), QStringLiteral("Escape")});
    if (QTest::qWaitFor([&menu] { return !programWindows().contains(menu); }, 5000))
        return true;
    qWarning("the tray menu stayed open after Escape");
    return false;
}

bool chooseTrayEntry(CProgram& program, int downs)
{
    QStringList keys;
    for (int i = 0; i < downs; ++i)
        keys << QStringLiteral("Down");
    return walkTrayMenu(program, keys << QStringLiteral("Return"));
}

bool quitFromTrayMenu(CProgram& program, int timeoutMs)
{
    // Up from the top wraps to the last entry.
    return walkTrayMenu(program, {QStringLiteral("Up"), QStringLiteral("Return")}) &&
           program.waitForExit(timeoutMs) && program.exitStatus() == QProcess::NormalExit &&
           program.exitCode() == 0;
}

bool activateWindow(const QString& windowId)
{
    // Once the window manager says the window is active, the program has its focus event
    // queued ahead of any key sent after this, so no pause is needed before typing.
    int status = -1;
    xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), windowId}, &status);
    return status == 0;
}

QString waitForWindow(const QString& title, int timeoutMs)
{
    QStringList ids;
    // Looked at once per try and kept: a window the window manager is still mapping can show
    // and hide between two looks.
    const bool shown = QTest::qWaitFor(
        [&] {
            return !(ids = visibleWindowsNamed(QLatin1Char('^') + QRegularExpression::escape(title) +
                                               QLatin1Char('$')))
                        .isEmpty();
        },
        timeoutMs);
    if (!shown || !activateWindow(ids.last()))
        return QString();
    return ids.last();
}

bool confirmDeletion(CProgram& program, int asked, int timeoutMs)
{
    const auto questions = [&program] {
        return program.errorOutput().count(QLatin1String("message box Question: delete"));
    };
    if (!QTest::qWaitFor([&] { return questions() > asked; }, timeoutMs))
        return false;
    const QString box = waitForWindow(QStringLiteral("Brightloom"), timeoutMs);
    if (box.isEmpty())
        return false;
    xdotool({QStringLiteral("key"), QStringLiteral("alt+y")});
    // The answer closes the box: proof the key reached it rather than another window.
    return QTest::qWaitFor([&box] { return !programWindows().contains(box); }, timeoutMs);
}

bool waitForTrayAtRest(int timeoutMs)
{
    return QTest::qWaitFor(
        [] {
            const QStringList icons = trayIconWindows();
            const QStringList shown = programWindows();
            return std::all_of(
                shown.cbegin(), shown.cend(), [&icons](const QString& id) { return icons.contains(id); });
        },
        timeoutMs);
}

bool programOverlayShown(int screenWidth)
{
    const QStringList ids = programWindows();
    return std::any_of(ids.cbegin(), ids.cend(), [screenWidth](const QString& id) {
        return windowGeometry(id).width() >= screenWidth;
    });
}

bool programOverlayInPlace(int screenWidth)
{
    const QStringList ids = programWindows();
    return std::any_of(ids.cbegin(), ids.cend(), [screenWidth](const QString& id) {
        const QRect r = windowGeometry(id);
        return r.topLeft() == QPoint(0, 0) && r.width() >= screenWidth;
    });
}

QProcessEnvironment privateUserEnvironment(const QString& root)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QStringList dirs = {QStringLiteral("home"), QStringLiteral("config"), QStringLiteral("data"),
                              QStringLiteral("runtime")};
    for (const QString& d : dirs)
        QDir().mkpath(root + QLatin1Char('/') + d);
    QFile::setPermissions(root + QStringLiteral("/runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    env.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/runtime"));
    return env;
}

CProgram::CProgram(QProcessEnvironment env)
{
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    if (!env.contains(QStringLiteral("QT_LOGGING_RULES")))
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("brightloom.*.debug=true"));
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    QObject::connect(&m_process, &QProcess::readyReadStandardError,
                     [this] { m_stderr += m_process.readAllStandardError(); });
}

CProgram::~CProgram()
{
    if (isRunning()) {
        kill();
        m_process.waitForFinished(5000);
    }
}

QString CProgram::binaryPath()
{
    return QStringLiteral(BL_BINARY_DIR "/app/brightloom");
}

bool CProgram::start(const QStringList& args)
{
    m_process.start(binaryPath(), args);
    return m_process.waitForStarted(5000);
}

QString CProgram::waitForTrayIcon(const QStringList& iconsBefore, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        for (const QString& id : trayIconWindows())
            if (!iconsBefore.contains(id))
                return id;
        if (!isRunning())
            return QString();
        QTest::qWait(100);
    }
    return QString();
}

bool CProgram::waitForExit(int timeoutMs)
{
    if (!isRunning())
        return true;
    QDeadlineTimer deadline(timeoutMs);
    while (isRunning() && !deadline.hasExpired())
        QTest::qWait(50);
    return !isRunning();
}

void CProgram::terminate()
{
    m_process.terminate();
}

void CProgram::kill()
{
    m_process.kill();
}

QString CProgram::errorOutput()
{
    return QString::fromLocal8Bit(errorBytes());
}

const QByteArray& CProgram::errorBytes()
{
    m_stderr += m_process.readAllStandardError();
    return m_stderr;
}

std::unique_ptr<CProgram> startDockedProgram(const QString& userRoot, const QProcessEnvironment& env,
                                             const QVariantMap& settings)
{
    {
        QSettings stored(userRoot + QStringLiteral("/config/Brightloom/Brightloom.conf"),
                         QSettings::IniFormat);
        for (auto it = settings.cbegin(); it != settings.cend(); ++it)
            stored.setValue(it.key(), it.value());
    }
    const QStringList iconsBefore = trayIconWindows();
    auto program = std::make_unique<CProgram>(env);
    if (!program->start() || program->waitForTrayIcon(iconsBefore).isEmpty())
        return nullptr;
    return program;
}

} // namespace BL::Test
