// The text shot of the real program on a private X session: a window shows known text in two
// of Debian's fonts, the person asks for the text shot (command line, tray menu, hotkey) and
// drags over it; the words arrive on the clipboard. Areas without text leave the clipboard as
// it was, and without language data the action only says what to install.
#include "textsample.h"
#include "x11session.h"

#include <QPainter>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <vector>

using namespace BL::Test;

namespace {

constexpr int kPatience = 15000;

const QStringList kLargeLines = {QStringLiteral("Copy the text from this window."),
                                 QStringLiteral("Error 404: page not found (retry?)")};
const QStringList kSmallLines = {QStringLiteral("The quick brown fox jumps over the lazy dog, twice."),
                                 QStringLiteral("Contact support@example.com or call 555-0142 today.")};

// Lines only: the empty line the engine puts between blocks of different sizes is layout.
QStringList nonEmptyLines(const QString& text)
{
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Dark text on a light window at 0,40: large sans lines, then small serif ones; below them a
// grey gradient with no text, and blank ground to the right.
class CTextWindow : public QWidget
{
public:
    CTextWindow() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint)
    {
        setGeometry(0, 40, 1280, 760);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), QColor(0xfa, 0xfa, 0xfa));
        painter.setPen(QColor(0x20, 0x20, 0x20));
        QFont large(QStringLiteral("DejaVu Sans"));
        large.setPixelSize(21); // 16 pt
        QFont small(QStringLiteral("DejaVu Serif"));
        small.setPixelSize(15); // 11 pt
        painter.setFont(large);
        for (int i = 0; i < kLargeLines.size(); ++i)
            painter.drawText(40, 60 + i * 30, kLargeLines.at(i));
        painter.setFont(small);
        for (int i = 0; i < kSmallLines.size(); ++i)
            painter.drawText(40, 150 + i * 22, kSmallLines.at(i));
        QLinearGradient gradient(40, 0, 440, 0);
        gradient.setColorAt(0, QColor(0xd0, 0xd0, 0xd0));
        gradient.setColorAt(1, QColor(0x90, 0x90, 0x90));
        painter.fillRect(QRect(40, 400, 400, 150), gradient);
    }
};

} // namespace

class TestTextShot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void commandLineDragCopiesTheText();
    void areasWithoutTextLeaveTheClipboard();
    void withoutLanguageDataTheActionNamesThePackage();
    void areaWiderThanTheLimitIsRefused();

private:
    bool startProgram(const QString& dataDir = QString());
    int logCount(const QString& text) { return m_program->errorOutput().count(text); }
    // Runs a second start with `args`, which hands its action over and exits.
    bool runSecondStart(const QStringList& args);

    std::unique_ptr<CTextWindow> m_window;
    std::unique_ptr<QTemporaryDir> m_user;
    std::unique_ptr<CProgram> m_program;
};

void TestTextShot::initTestCase()
{
    m_window = std::make_unique<CTextWindow>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QTRY_COMPARE(m_window->mapToGlobal(QPoint(0, 0)), QPoint(0, 40));
}

void TestTextShot::init()
{
    m_user = std::make_unique<QTemporaryDir>();
}

void TestTextShot::cleanup()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
    xdotool({"key", "Escape"});
}

bool TestTextShot::startProgram(const QString& dataDir)
{
    QProcessEnvironment env = privateUserEnvironment(m_user->path());
    env.insert(QStringLiteral("BL_SERVICE_HOST"), QStringLiteral("127.0.0.1:9")); // nothing is uploaded
    if (!dataDir.isEmpty())
        env.insert(QStringLiteral("BL_TESSDATA_DIR"), dataDir);
    QSettings(m_user->path() + QStringLiteral("/config/Brightloom/Brightloom.conf"), QSettings::IniFormat)
        .setValue(QStringLiteral("show_pre_help"), true);
    const QStringList before = trayIconWindows();
    m_program = std::make_unique<CProgram>(env);
    return m_program->start() && !m_program->waitForTrayIcon(before).isEmpty();
}

bool TestTextShot::runSecondStart(const QStringList& args)
{
    CProgram second(m_program->process().processEnvironment());
    return second.start(args) && second.waitForExit(kPatience) && second.exitCode() == 0;
}

void TestTextShot::commandLineDragCopiesTheText()
{
    QVERIFY(startProgram());
    QVERIFY(runSecondStart({QStringLiteral("--text-shot")}));
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kPatience);
    drag({20, 70}, {760, 230});
    QTRY_VERIFY_WITH_TIMEOUT(!clipboard().isEmpty(), kPatience);
    const QString text = clipboard();
    const QStringList lines = nonEmptyLines(text);
    // The large font comes back exactly, case and punctuation included.
    QVERIFY2(lines.size() == 4, qPrintable(text));
    QCOMPARE(lines.mid(0, 2), kLargeLines);
    const QString expected = (kLargeLines + kSmallLines).join(QLatin1Char('\n'));
    const double rate = double(editDistance(lines.join(QLatin1Char('\n')), expected)) / expected.size();
    QVERIFY2(rate < 0.02, qPrintable(QStringLiteral("error rate %1:\n%2").arg(rate).arg(text)));
    // The balloon shows the first line and how much was copied.
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains(
                                 QStringLiteral("balloon Information Copied %1 characters of text:\n%2")
                                     .arg(text.size())
                                     .arg(kLargeLines[0])),
                             kPatience);
    QVERIFY(!programOverlayShown());
}

void TestTextShot::areasWithoutTextLeaveTheClipboard()
{
    QVERIFY(startProgram());
    QProcess owner; // keeps "before" on the clipboard
    owner.start("xclip", {"-i", "-quiet", "-selection", "clipboard"});
    QVERIFY(owner.waitForStarted());
    owner.write("before");
    owner.closeWriteChannel();
    QTRY_COMPARE(clipboard(), QStringLiteral("before"));

    // All one colour, from the tray menu: "Copy te&xt from area" by its mnemonic.
    QVERIFY(walkTrayMenu(*m_program, {"x"}));
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kPatience);
    drag({900, 500}, {1000, 600});
    const QString oneColour = QStringLiteral("balloon Warning The area is all one colour");
    QTRY_COMPARE_WITH_TIMEOUT(logCount(oneColour), 1, kPatience);
    // A click: one pixel, from the hotkey.
    xdotool({"key", "ctrl+alt+o"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kPatience);
    xdotool({"mousemove", "950", "650", "click", "1"});
    QTRY_COMPARE_WITH_TIMEOUT(logCount(oneColour), 2, kPatience);
    // Shades but no words.
    xdotool({"key", "ctrl+alt+o"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kPatience);
    drag({60, 460}, {420, 570});
    QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("balloon Warning No text was found in the area")) == 1,
                             kPatience);
    QCOMPARE(clipboard(), QStringLiteral("before"));
    QCOMPARE(logCount(QStringLiteral("balloon Information Copied")), 0);
    owner.kill();
    owner.waitForFinished();
}

void TestTextShot::withoutLanguageDataTheActionNamesThePackage()
{
    QTemporaryDir empty;
    QVERIFY(startProgram(empty.path()));
    QTRY_VERIFY_WITH_TIMEOUT(logCount(QStringLiteral("the text shot is off")) == 1, kPatience);
    // The command line gets the reason instead of an overlay that could not read anything.
    QVERIFY(runSecondStart({QStringLiteral("--text-shot")}));
    QTRY_VERIFY_WITH_TIMEOUT(
        logCount(QStringLiteral("balloon Critical No text languages are installed: install the "
                                "tesseract-ocr-eng package.")) == 1,
        kPatience);
    QVERIFY(!programOverlayShown());
}

void TestTextShot::areaWiderThanTheLimitIsRefused()
{
    // Registered a second time on a screen 8300 pixels wide (tests/e2e/CMakeLists.txt).
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    if (screen.width() <= 8192)
        QSKIP("needs a screen wider than 8192 pixels");
    QVERIFY(startProgram());
    QProcess owner; // keeps "before" on the clipboard
    owner.start("xclip", {"-i", "-quiet", "-selection", "clipboard"});
    QVERIFY(owner.waitForStarted());
    owner.write("before");
    owner.closeWriteChannel();
    QTRY_COMPARE(clipboard(), QStringLiteral("before"));

    QVERIFY(runSecondStart({QStringLiteral("--text-shot")}));
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(screen.width()), kPatience);
    drag({2, screen.height() - 60}, {screen.width() - 3, screen.height() - 10});
    QTRY_VERIFY_WITH_TIMEOUT(
        logCount(QStringLiteral("balloon Warning The area is too large to read text from: at most 8192")) ==
            1,
        kPatience);
    QCOMPARE(clipboard(), QStringLiteral("before"));
    owner.kill();
    owner.waitForFinished();
}

QTEST_MAIN(TestTextShot)
#include "tst_textshot.moc"
