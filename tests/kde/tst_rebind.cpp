// Hotkeys changed in the options dialog of the real program on a private headless KDE Plasma
// session (scripts/with-kwin.sh): KDE's portal binds them in its shortcut service, which keeps
// what it was given under the program's name. The dialog is opened from the tray item's menu
// over D-Bus (there is no panel to click) and typed into with KWin's fake keyboard, and the
// hotkeys are pressed on that keyboard, so KDE's own key handling decides what fires.
#include "x11session.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace BL::Test;

namespace {

constexpr int kTimeoutMs = 20000;
const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");

// Linux input key codes of the keys typed here.
enum EKey { Enter = 28, Ctrl = 29, D = 32, J = 36, M = 50, O = 24, Alt = 56 };

QDBusMessage callBus(const QString& service, const QString& path, const QString& interface,
                     const QString& method, const QVariantList& args = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(args);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 10000);
}

QVariant busProperty(const QString& service, const QString& path, const QString& interface,
                     const QString& name)
{
    const QDBusMessage reply = callBus(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                       QStringLiteral("Get"), {interface, name});
    return reply.arguments().isEmpty() ? QVariant()
                                       : reply.arguments().constFirst().value<QDBusVariant>().variant();
}

// The keys KDE's shortcut service holds for `id`, by the component that holds them: every
// component with an entry of that name, the ones of sessions closed long ago included.
QMap<QString, QList<int>> kdeKeys(const QString& id)
{
    const QString service = QStringLiteral("org.kde.kglobalaccel");
    QMap<QString, QList<int>> keys;
    const QDBusMessage components =
        callBus(service, QStringLiteral("/kglobalaccel"), QStringLiteral("org.kde.KGlobalAccel"),
                QStringLiteral("allComponents"));
    if (components.arguments().isEmpty())
        return keys;
    for (const QDBusObjectPath& path :
         qdbus_cast<QList<QDBusObjectPath>>(components.arguments().constFirst())) {
        const QDBusMessage names =
            callBus(service, path.path(), QStringLiteral("org.kde.kglobalaccel.Component"),
                    QStringLiteral("shortcutNames"));
        if (names.arguments().isEmpty() || !names.arguments().constFirst().toStringList().contains(id))
            continue;
        const QString component = path.path().section(QLatin1Char('/'), -1);
        const QDBusMessage held =
            callBus(service, QStringLiteral("/kglobalaccel"), QStringLiteral("org.kde.KGlobalAccel"),
                    QStringLiteral("shortcut"), {QStringList{component, id, QString(), QString()}});
        if (!held.arguments().isEmpty())
            keys.insert(component, qdbus_cast<QList<int>>(held.arguments().constFirst()));
    }
    return keys;
}

} // namespace

class TestKdeRebind : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void changedHotkeyFiresAtOnceAndAfterRestart();

private:
    // Starts the program and waits until the desktop has bound its hotkeys.
    void startProgram();
    // Clicks the tray menu's entry whose label (mnemonic aside) is `label`, through the menu the
    // item exports.
    bool chooseTrayEntry(const QString& label);
    bool keys(std::initializer_list<EKey> combination);
    bool pointer(const QString& command);
    int logCount(const QString& text) { return m_program->errorOutput().count(text); }
    // Records a combination on `row` of the open dialog after its mnemonic.
    void record(EKey mnemonic, int row, std::initializer_list<EKey> combination);

    QTemporaryDir m_root;
    QProcess m_input;
    std::unique_ptr<CProgram> m_program;
};

void TestKdeRebind::initTestCase()
{
    QVERIFY(m_root.isValid());
    m_input.start(QStringLiteral(BL_FAKE_INPUT), QStringList());
    QVERIFY(m_input.waitForReadyRead(10000));
    QCOMPARE(m_input.readLine().trimmed(), QByteArray("ready"));
    QSettings stored(m_root.filePath(QStringLiteral("user/config/Brightloom/Brightloom.conf")),
                     QSettings::IniFormat);
    stored.setValue("show_pre_help", true); // no welcome screen over the desktop
}

void TestKdeRebind::cleanup()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
}

void TestKdeRebind::cleanupTestCase()
{
    m_program.reset();
    m_input.kill();
    m_input.waitForFinished();
}

void TestKdeRebind::startProgram()
{
    QProcessEnvironment env = privateUserEnvironment(m_root.filePath(QStringLiteral("user")));
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') +
                                                      qEnvironmentVariable("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("BL_SERVICE_HOST"), QStringLiteral("127.0.0.1:9")); // nothing is uploaded here
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("brightloom.*.debug=true"));
    m_program = std::make_unique<CProgram>(env);
    QVERIFY(m_program->start());
    QTRY_COMPARE_WITH_TIMEOUT(logCount(QStringLiteral("global shortcuts bound")), 1, kTimeoutMs);
}

bool TestKdeRebind::chooseTrayEntry(const QString& label)
{
    QStringList items;
    for (int tries = 0; tries < 100 && items.isEmpty(); ++tries) {
        items = busProperty(kWatcher, QStringLiteral("/StatusNotifierWatcher"), kWatcher,
                            QStringLiteral("RegisteredStatusNotifierItems"))
                    .toStringList();
        if (items.isEmpty())
            QTest::qWait(100);
    }
    if (items.size() != 1)
        return false;
    const QString service = items.constFirst().section(QLatin1Char('/'), 0, 0);
    const QString itemPath = QLatin1Char('/') + items.constFirst().section(QLatin1Char('/'), 1);
    const QString menu =
        busProperty(service,
                    itemPath == QLatin1String("/") ? QStringLiteral("/StatusNotifierItem") : itemPath,
                    QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Menu"))
            .value<QDBusObjectPath>()
            .path();
    if (menu.isEmpty())
        return false;
    // The layout's nesting is easiest read in its printed form.
    QProcess layout;
    layout.start(QStringLiteral("gdbus"),
                 {QStringLiteral("call"), QStringLiteral("--session"), QStringLiteral("-d"), service,
                  QStringLiteral("-o"), menu, QStringLiteral("-m"),
                  QStringLiteral("com.canonical.dbusmenu.GetLayout"), QStringLiteral("0"),
                  QStringLiteral("int32 -1"), QStringLiteral("@as []")});
    if (!layout.waitForFinished(10000))
        return false;
    const QString printed = QString::fromUtf8(layout.readAllStandardOutput());
    const QRegularExpression entry(
        QStringLiteral("\\((\\d+), \\{[^}]*'label': <'_?%1'>").arg(QRegularExpression::escape(label)));
    const QRegularExpressionMatch match = entry.match(printed);
    if (!match.hasMatch()) {
        qWarning().noquote() << "no" << label << "in the tray menu:" << printed
                             << layout.readAllStandardError();
        return false;
    }
    const QDBusMessage clicked = callBus(
        service, menu, QStringLiteral("com.canonical.dbusmenu"), QStringLiteral("Event"),
        {match.captured(1).toInt(), QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    return clicked.type() == QDBusMessage::ReplyMessage;
}

bool TestKdeRebind::keys(std::initializer_list<EKey> combination)
{
    QByteArray line = "key";
    for (EKey key : combination)
        line += ' ' + QByteArray::number(int(key));
    m_input.write(line + '\n');
    return m_input.waitForReadyRead(5000) && m_input.readLine().trimmed() == "ok";
}

bool TestKdeRebind::pointer(const QString& command)
{
    m_input.write(command.toLatin1() + '\n');
    return m_input.waitForReadyRead(5000) && m_input.readLine().trimmed() == "ok";
}

void TestKdeRebind::record(EKey mnemonic, int row, std::initializer_list<EKey> combination)
{
    const QString started = QStringLiteral("options row %1 hint:").arg(row);
    const QString confirmed = QStringLiteral("options row %1 set to").arg(row);
    const int startedBefore = logCount(started);
    const int confirmedBefore = logCount(confirmed);
    QVERIFY(keys({Alt, mnemonic}));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(started), startedBefore + 1, kTimeoutMs);
    QVERIFY(keys(combination));
    QVERIFY(keys({Enter}));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(confirmed), confirmedBefore + 1, kTimeoutMs);
}

void TestKdeRebind::changedHotkeyFiresAtOnceAndAfterRestart()
{
    startProgram();
    if (QTest::currentTestFailed())
        return;
    const QString drops = QStringLiteral("hotkey drop widget activated");
    QVERIFY(keys({Ctrl, Alt, D}));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(drops), 1, kTimeoutMs);

    // The drop widget moves to Ctrl+Alt+J.
    QVERIFY(chooseTrayEntry(QStringLiteral("Keyboard shortcuts...")));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(QStringLiteral("options dialog active")), 1, kTimeoutMs);
    record(D, 2, {Ctrl, Alt, J});
    if (QTest::currentTestFailed())
        return;
    QVERIFY(keys({Enter})); // OK
    QTRY_COMPARE_WITH_TIMEOUT(
        QSettings(m_root.filePath(QStringLiteral("user/config/Brightloom/Brightloom.conf")),
                  QSettings::IniFormat)
            .value("drop_widget_shortcut")
            .toString(),
        QStringLiteral("Ctrl+Alt+J"), kTimeoutMs);
    // The program lets go of the hotkeys only to record: the dialog's OK binds them once more.
    QTRY_COMPARE_WITH_TIMEOUT(logCount(QStringLiteral("global shortcuts bound")), 2, kTimeoutMs);

    // The new key fires, and the old one is free: the text shot pressed after it is the next
    // thing the program acts on.
    QVERIFY(keys({Ctrl, Alt, J}));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(drops), 2, kTimeoutMs);
    QVERIFY(keys({Ctrl, Alt, D}));
    QVERIFY(keys({Ctrl, Alt, O}));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(QStringLiteral("hotkey text shot activated")), 1, kTimeoutMs);
    QCOMPARE(logCount(drops), 2);
    // An area dragged ends the overlay (the desktop is bare: no text). Only once KWin has given
    // the overlay the input: a drag begun before goes to the window that had it.
    QTRY_COMPARE_WITH_TIMEOUT(logCount(QStringLiteral("overlay has the keyboard")), 1, kTimeoutMs);
    for (const char* step : {"move 100 100", "press", "move 200 150", "move 300 200", "release"})
        QVERIFY(pointer(QLatin1String(step)));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(QStringLiteral("text read in")), 1, kTimeoutMs);
    // One entry for the program in KDE's shortcuts, holding the new key and the ones left alone.
    const QList<QList<int>> onlyCtrlAltJ{{QKeySequence(QStringLiteral("Ctrl+Alt+J"))[0]}};
    const QList<QList<int>> onlyCtrlAltM{{QKeySequence(QStringLiteral("Ctrl+Alt+M"))[0]}};
    QCOMPARE(kdeKeys(QStringLiteral("drop_widget_shortcut")).values(), onlyCtrlAltJ);
    QCOMPARE(kdeKeys(QStringLiteral("comparison_shot_shortcut")).values(), onlyCtrlAltM);

    // KDE keeps the keys for the next start.
    m_program->terminate();
    QVERIFY(m_program->waitForExit(kTimeoutMs));
    startProgram();
    if (QTest::currentTestFailed())
        return;
    QVERIFY(keys({Ctrl, Alt, J}));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(drops), 1, kTimeoutMs);
    QVERIFY(keys({Ctrl, Alt, M}));
    QTRY_COMPARE_WITH_TIMEOUT(logCount(QStringLiteral("hotkey comparison shot activated")), 1, kTimeoutMs);
    QCOMPARE(kdeKeys(QStringLiteral("drop_widget_shortcut")).values(), onlyCtrlAltJ);
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TestKdeRebind test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_rebind.moc"
