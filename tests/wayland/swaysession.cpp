#include "swaysession.h"

#include "pattern.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QRegularExpression>
#include <QSettings>
#include <QTextStream>
#include <QtTest>

namespace BL::Test {

const QString kWaylandText = QStringLiteral("Read from the desktop, on Wayland.");

namespace {

void collectWindows(const QJsonObject& node, QList<QJsonObject>& windows)
{
    if (node.value(QStringLiteral("pid")).toInt() > 0)
        windows << node;
    for (const char* key : {"nodes", "floating_nodes"})
        for (const QJsonValue& child : node.value(QLatin1String(key)).toArray())
            collectWindows(child.toObject(), windows);
}

} // namespace

QString swaymsg(const QStringList& args)
{
    int code = -1;
    const QString out = run(QStringLiteral("swaymsg"), args, &code);
    if (code != 0)
        qWarning().noquote() << "swaymsg" << args.join(' ') << "failed:" << out;
    return out;
}

QString overlayOutput(qint64 pid)
{
    const QJsonObject tree = QJsonDocument::fromJson(swaymsg({"-r", "-t", "get_tree"}).toUtf8()).object();
    for (const QJsonValue& output : tree.value(QStringLiteral("nodes")).toArray()) {
        QList<QJsonObject> windows;
        collectWindows(output.toObject(), windows);
        for (const QJsonObject& w : windows)
            if (w.value(QStringLiteral("pid")).toInt() == pid &&
                w.value(QStringLiteral("visible")).toBool() &&
                w.value(QStringLiteral("fullscreen_mode")).toInt() != 0)
                return output.toObject().value(QStringLiteral("name")).toString();
    }
    return QString();
}

bool overlayShown(qint64 pid)
{
    return !overlayOutput(pid).isEmpty();
}

QString waylandClipboard()
{
    return run(QStringLiteral("wl-paste"), {QStringLiteral("--no-newline")});
}

QProcessEnvironment CSwaySession::programEnvironment() const
{
    QProcessEnvironment env = privateUserEnvironment(m_root.filePath(QStringLiteral("user")));
    // The program's runtime directory is private; the compositor's socket is named in full.
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1Char('/') +
                                                      qEnvironmentVariable("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("BL_SERVICE_HOST"), m_service.host());
    return env;
}

void CSwaySession::start()
{
    QVERIFY(!qEnvironmentVariableIsEmpty("SWAYSOCK"));
    QVERIFY(m_root.isValid());
    // Without it the seat has no pointer, and the drags below would reach nobody.
    m_pointer.start(QStringLiteral(BL_VIRTUAL_POINTER), QStringList());
    QVERIFY(m_pointer.waitForReadyRead(10000));
    QCOMPARE(m_pointer.readLine().trimmed(), QByteArray("ready"));
    // A keyboard for the session's whole life, as a person's is. wtype's own keyboard comes and
    // goes with each call: a program whose seat had none meets it with the first key already
    // down, and that press is never delivered as one.
    m_keyboard.start(QStringLiteral("wtype"), {QStringLiteral("-s"), QStringLiteral("86400000")});
    QVERIFY(m_keyboard.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(
        swaymsg({"-r", "-t", "get_inputs"}).contains(QLatin1String("\"type\": \"keyboard\"")),
        kSwayTimeoutMs);
    QVERIFY2(m_service.start(m_root.filePath(QStringLiteral("service"))), qPrintable(m_service.log()));

    QImage background(1280, 800, QImage::Format_RGB32);
    for (int y = 0; y < background.height(); ++y)
        for (int x = 0; x < background.width(); ++x)
            background.setPixelColor(x, y, patternAt(x, y));
    {
        // Words for the text shot, away from the areas the other shots take.
        QPainter painter(&background);
        painter.fillRect(QRect(640, 560, 600, 120), QColor(0xfa, 0xfa, 0xfa));
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(21);
        painter.setFont(font);
        painter.setPen(QColor(0x20, 0x20, 0x20));
        painter.drawText(670, 610, kWaylandText);
    }
    const QString backgroundFile = m_root.filePath(QStringLiteral("background.png"));
    QVERIFY(background.save(backgroundFile));
    swaymsg({"output", "HEADLESS-1", "bg", backgroundFile, "stretch"});

    // The key a desktop's settings would bind: the command-line action, as the person runs it.
    const QProcessEnvironment env = programEnvironment();
    const QString command = m_root.filePath(QStringLiteral("single-shot.sh"));
    {
        QFile script(command);
        QVERIFY(script.open(QIODevice::WriteOnly));
        QTextStream out(&script);
        out << "#!/bin/sh\nexec env";
        for (const char* key : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR",
                                "WAYLAND_DISPLAY", "BL_SERVICE_HOST", "DBUS_SESSION_BUS_ADDRESS"})
            out << " " << key << "='" << env.value(QLatin1String(key)) << "'";
        out << " QT_QPA_PLATFORM=wayland '" << CProgram::binaryPath() << "' --single-shot >>'"
            << m_root.filePath(QStringLiteral("bound-key.log")) << "' 2>&1\n";
    }
    QVERIFY(QFile::setPermissions(command, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    swaymsg({"bindsym", "Ctrl+Alt+p", "exec", command});

    QProcessEnvironment programEnv = env;
    programEnv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    programEnv.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("brightloom.*.debug=true"));
    {
        QSettings stored(m_root.filePath(QStringLiteral("user/config/Brightloom/Brightloom.conf")),
                         QSettings::IniFormat);
        stored.setValue("show_pre_help", true);
        stored.setValue("show_paste_help", true);
    }
    m_program = std::make_unique<CProgram>();
    // CProgram leaves the platform to Qt's choice; here it must be Wayland.
    m_program->process().setProcessEnvironment(programEnv);
    QVERIFY(m_program->start());
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains(
                                 QLatin1String("using the \"wayland\" backends on the \"wayland\" platform")),
                             kSwayTimeoutMs);
    // sway binds no keys for others: the first start names the commands to bind instead.
    QTRY_VERIFY_WITH_TIMEOUT(
        m_program->errorOutput().contains(QLatin1String("brightloom --toggle-drop-widget")), kSwayTimeoutMs);
    QVERIFY(m_program->errorOutput().contains(QLatin1String("brightloom --single-shot")));
}

void CSwaySession::reportFailure() const
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
}

void CSwaySession::stop()
{
    m_program.reset();
    m_service.stop();
    m_pointer.kill();
    m_pointer.waitForFinished();
    m_keyboard.kill();
    m_keyboard.waitForFinished();
}

bool CSwaySession::pointer(const QString& command)
{
    m_pointer.write(command.toLatin1() + '\n');
    if (!m_pointer.waitForReadyRead(5000))
        return false;
    return m_pointer.readLine().trimmed() == "ok";
}

void CSwaySession::drag(QPoint from, QPoint to, QSize layout)
{
    const auto move = [this, layout](QPoint p) {
        return pointer(QStringLiteral("move %1 %2 %3 %4")
                           .arg(p.x())
                           .arg(p.y())
                           .arg(layout.width())
                           .arg(layout.height()));
    };
    // Each step is answered once sway has it, but an overlay just placed on another output takes
    // the pointer only a moment later: without these pauses the press there reaches nothing.
    QVERIFY(move(from));
    QTest::qWait(200);
    QVERIFY(pointer(QStringLiteral("press")));
    QTest::qWait(100);
    QVERIFY(move((from + to) / 2));
    QTest::qWait(100);
    QVERIFY(move(to));
    QTest::qWait(200);
    QVERIFY(pointer(QStringLiteral("release")));
}

QString CSwaySession::waitForLink(const QString& previous)
{
    QDeadlineTimer deadline(kSwayTimeoutMs);
    while (!deadline.hasExpired()) {
        const QString link = waylandClipboard();
        if (link.startsWith(QLatin1String("http")) && link != previous)
            return link;
        QTest::qWait(100);
    }
    return QString();
}

void CSwaySession::verifyUploaded(const QString& link, const QSize& size, const QPoint& origin)
{
    QVERIFY2(QRegularExpression(
                 QStringLiteral("^http://127\\.0\\.0\\.1:%1/[A-Za-z0-9]{8,}$").arg(m_service.port()))
                 .match(link)
                 .hasMatch(),
             qPrintable(link));
    const SHttpResult picture = httpGet(link + QStringLiteral(".png"));
    QCOMPARE(picture.status, 200);
    const QImage image = QImage::fromData(picture.body, "PNG");
    QCOMPARE(image.size(), size);
    const QString mismatch = patternMismatch(image, origin);
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

QImage CSwaySession::shootArea(QPoint at, const QString& output, QPoint from, QPoint to, QSize layout)
{
    [&] {
        QVERIFY(pointer(QStringLiteral("move %1 %2 %3 %4")
                            .arg(at.x())
                            .arg(at.y())
                            .arg(layout.width())
                            .arg(layout.height())));
        const QString before = waylandClipboard();
        const int uploadsBefore =
            m_program->errorOutput().count(QStringLiteral("Screenshot succesfully uploaded."));
        CProgram action;
        action.process().setProcessEnvironment(m_program->process().processEnvironment());
        QVERIFY(action.start({"--single-shot"}));
        QVERIFY(action.waitForExit(kSwayTimeoutMs));
        QCOMPARE(action.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(overlayShown(m_program->pid()), kSwayTimeoutMs);
        const QString shownOn = overlayOutput(m_program->pid());
        if (shownOn != output)
            run(QStringLiteral("wtype"), {"-k", "Escape"});
        QCOMPARE(shownOn, output);
        drag(from, to, layout);
        const QString link = waitForLink(before);
        QVERIFY(!link.isEmpty());
        // The link is on the clipboard before the picture is uploaded: wait for the upload.
        QTRY_COMPARE_WITH_TIMEOUT(
            m_program->errorOutput().count(QStringLiteral("Screenshot succesfully uploaded.")),
            uploadsBefore + 1, kSwayTimeoutMs);
        const SHttpResult picture = httpGet(link + QStringLiteral(".png"));
        QCOMPARE(picture.status, 200);
        m_lastUpload = QImage::fromData(picture.body, "PNG");
    }();
    return std::exchange(m_lastUpload, QImage());
}

} // namespace BL::Test
