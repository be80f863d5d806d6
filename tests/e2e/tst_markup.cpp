// Marking a shot up before it leaves, with the real program and the real service on a private X
// session: Shift at the release opens the mark-up, Enter shares the marked picture, Ctrl+S keeps
// it as a local shot, Esc sends and writes nothing; in a comparison each area can be marked in
// turn before the pair goes up, and Esc or Ctrl+S in either mark-up leaves the pair.
#include "pattern.h"
#include "serviceprocess.h"
#include "x11session.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QImage>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace BL::Test;

namespace {

constexpr int kXTimeoutMs = 15000;
// The drag of every case, and the redact box drawn inside it (global coordinates).
const QRect kShot(QPoint(100, 100), QPoint(300, 250));
const QRect kRedact(QPoint(130, 120), QPoint(200, 170));

// Drags kShot with Shift held at the release in the selector that is up, and waits until the
// program says the mark-up is up (the `count`th time).
void shiftDrag(CProgram& program, int count)
{
    xdotool({"mousemove", "100", "100", "mousedown", "1", "mousemove", "200", "180", "mousemove", "300",
             "250", "keydown", "shift", "mouseup", "1", "keyup", "shift"});
    QTRY_VERIFY_WITH_TIMEOUT(program.errorOutput().count("Marking up a picture of 201 x 151") == count,
                             kXTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
}

// The same after opening the selector with the hotkey `keys`.
void shiftShot(CProgram& program, const QString& keys, int count)
{
    xdotool({"key", keys});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    shiftDrag(program, count);
}

// Whether `image` is exactly the screen beneath `rect`; returns the first difference, or empty.
QString screenMismatch(const QImage& image, const QRect& rect)
{
    if (image.size() != rect.size())
        return QStringLiteral("size %1x%2").arg(image.width()).arg(image.height());
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != patternAt(rect.x() + x, rect.y() + y).rgb())
                return QStringLiteral("pixel %1,%2 is not the screen's").arg(x).arg(y);
    return {};
}

// Drags the redact box over kRedact (R, the first tool, is chosen when the mark-up opens).
void drawRedactBox()
{
    xdotool({"mousemove", QString::number(kRedact.left()), QString::number(kRedact.top()), "mousedown", "1",
             "mousemove", "160", "150", "mousemove", QString::number(kRedact.right() + 1),
             QString::number(kRedact.bottom() + 1), "mouseup", "1"});
}

// Everything outside the redact box is the screen beneath; the box is one colour. Returns the
// first difference, or empty.
QString markedMismatch(const QImage& image)
{
    if (image.size() != kShot.size())
        return QStringLiteral("size %1x%2").arg(image.width()).arg(image.height());
    const QRect box = kRedact.translated(-kShot.topLeft());
    const QRgb boxColour = image.pixel(box.center());
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            // A pixel of slack at the box's edges, whichever way the tool rounds them.
            if (box.adjusted(1, 1, -1, -1).contains(x, y)) {
                if (pixel != boxColour)
                    return QStringLiteral("redacted pixel %1,%2 differs").arg(x).arg(y);
            } else if (!box.adjusted(-2, -2, 2, 2).contains(x, y) &&
                       pixel != patternAt(kShot.x() + x, kShot.y() + y).rgb()) {
                return QStringLiteral("pixel %1,%2 is not the screen's").arg(x).arg(y);
            }
        }
    }
    if (qAbs(qRed(boxColour) - patternAt(kRedact.center().x(), kRedact.center().y()).red()) < 2 &&
        qAbs(qGreen(boxColour) - patternAt(kRedact.center().x(), kRedact.center().y()).green()) < 2)
        return QStringLiteral("the box shows the screen");
    return {};
}

} // namespace

class TestMarkupFlow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void redactedShotIsSharedEscSendsNothing();
    void markedShotSavedLocally();
    void comparisonMarksEachAreaOrLeavesThePair();

private:
    bool startProgram();

    QTemporaryDir m_root;
    QTemporaryDir m_user;
    CServiceProcess m_service;
    std::unique_ptr<CPatternWindow> m_pattern;
    std::unique_ptr<CProgram> m_program;
};

void TestMarkupFlow::initTestCase()
{
    QVERIFY(m_root.isValid());
    QVERIFY2(m_service.start(m_root.filePath("service")), qPrintable(m_service.log()));
    m_pattern = std::make_unique<CPatternWindow>();
    m_pattern->setGeometry(0, 40, 1280, 760);
    m_pattern->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_pattern.get()));
    QVERIFY(startProgram());
}

void TestMarkupFlow::cleanupTestCase()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
    m_pattern.reset();
    m_service.stop();
}

bool TestMarkupFlow::startProgram()
{
    QProcessEnvironment env = privateUserEnvironment(m_user.path());
    env.insert(QStringLiteral("BL_SERVICE_HOST"), m_service.host());
    {
        QSettings stored(m_user.path() + QStringLiteral("/config/Brightloom/Brightloom.conf"),
                         QSettings::IniFormat);
        stored.setValue("show_pre_help", true);
        stored.setValue("show_paste_help", true);
    }
    const QStringList before = trayIconWindows();
    m_program = std::make_unique<CProgram>(env);
    return m_program->start() && !m_program->waitForTrayIcon(before).isEmpty();
}

void TestMarkupFlow::redactedShotIsSharedEscSendsNothing()
{
    // Esc in the mark-up: no link, no upload. Seen through the next, plain shot, which must be
    // the first and only upload.
    const QString clipboardBefore = clipboard();
    shiftShot(*m_program, QStringLiteral("ctrl+alt+p"), 1);
    xdotool({"key", "Escape"});
    QTRY_VERIFY_WITH_TIMEOUT(!programOverlayShown(), kXTimeoutMs);
    xdotool({"key", "ctrl+alt+p"});
    QTRY_VERIFY_WITH_TIMEOUT(programOverlayShown(), kXTimeoutMs);
    drag({10, 50}, {40, 90});
    QTRY_VERIFY_WITH_TIMEOUT(clipboard() != clipboardBefore && !clipboard().isEmpty(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().count("Screenshot succesfully uploaded.") == 1, 10000);
    const QString plain = clipboard();
    QCOMPARE(QImage::fromData(httpGet(plain + QStringLiteral(".png")).body, "PNG").size(), QSize(31, 41));

    // R is the first tool: a box drawn over the picture, then Enter shares it.
    shiftShot(*m_program, QStringLiteral("ctrl+alt+p"), 2);
    drawRedactBox();
    xdotool({"key", "Return"});
    QDeadlineTimer deadline(10000);
    while (clipboard() == plain && !deadline.hasExpired())
        QTest::qWait(50);
    const QString link = clipboard();
    QVERIFY(link != plain);
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().count("Screenshot succesfully uploaded.") == 2, 10000);
    const SHttpResult picture = httpGet(link + QStringLiteral(".png"));
    QCOMPARE(picture.status, 200);
    const QString mismatch = markedMismatch(QImage::fromData(picture.body, "PNG"));
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestMarkupFlow::markedShotSavedLocally()
{
    // Ctrl+S in the mark-up of a single shot keeps the marked picture as a local shot.
    const QDir dir(m_user.path() + QStringLiteral("/home/brightloom_screens"));
    const int before = dir.entryList(QDir::Files).size();
    shiftShot(*m_program, QStringLiteral("ctrl+alt+p"), 3);
    xdotool({"mousemove", QString::number(kRedact.left()), QString::number(kRedact.top()), "mousedown", "1",
             "mousemove", QString::number(kRedact.right() + 1), QString::number(kRedact.bottom() + 1),
             "mouseup", "1"});
    xdotool({"key", "ctrl+s"});
    QTRY_COMPARE_WITH_TIMEOUT(dir.entryList(QDir::Files).size(), before + 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().contains("Screenshot saved as " + dir.path() + "/"),
                             10000);
    const QStringList files = dir.entryList(QDir::Files, QDir::Time);
    const QString mismatch = markedMismatch(QImage(dir.filePath(files.first())));
    QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
}

void TestMarkupFlow::comparisonMarksEachAreaOrLeavesThePair()
{
    const QString kSecondNext =
        QStringLiteral("The first picture of the pair is marked; the second area is next");
    // Esc in the mark-up of a comparison's first area abandons the pair: the only upload that
    // follows is the last pair's.
    const QString before = clipboard();
    shiftShot(*m_program, QStringLiteral("ctrl+alt+m"), 4);
    drawRedactBox();
    xdotool({"key", "Escape"});
    QTRY_VERIFY_WITH_TIMEOUT(!programOverlayShown(), kXTimeoutMs);

    // Ctrl+S in the mark-up of the second area keeps that picture as a local shot and leaves the
    // pair, its marked first picture with it.
    const QDir dir(m_user.path() + QStringLiteral("/home/brightloom_screens"));
    const int files = dir.entryList(QDir::Files).size();
    shiftShot(*m_program, QStringLiteral("ctrl+alt+m"), 5);
    drawRedactBox();
    xdotool({"key", "Return"});
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().count(kSecondNext) == 1, kXTimeoutMs);
    shiftDrag(*m_program, 6);
    xdotool({"key", "ctrl+s"});
    QTRY_COMPARE_WITH_TIMEOUT(dir.entryList(QDir::Files).size(), files + 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(!programOverlayShown(), kXTimeoutMs);
    const QString saved = dir.filePath(dir.entryList(QDir::Files, QDir::Time).first());
    const QString savedMismatch = screenMismatch(QImage(saved), kShot);
    QVERIFY2(savedMismatch.isEmpty(), qPrintable(savedMismatch));

    // The first area marked and shared into the pair, the second taken plainly.
    shiftShot(*m_program, QStringLiteral("ctrl+alt+m"), 7);
    drawRedactBox();
    xdotool({"key", "Return"});
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().count(kSecondNext) == 2, kXTimeoutMs);
    QVERIFY(programOverlayShown());
    const QRect second(QPoint(400, 300), QPoint(600, 500));
    drag(second.topLeft(), second.bottomRight());
    QTRY_VERIFY_WITH_TIMEOUT(m_program->errorOutput().count("Screenshot succesfully uploaded.") == 3, 10000);
    const QString link = clipboard();
    QVERIFY(link != before);
    QTRY_VERIFY_WITH_TIMEOUT(!programOverlayShown(), kXTimeoutMs);

    const SHttpResult first = httpGet(link + QStringLiteral(".png"));
    QCOMPARE(first.status, 200);
    const QString firstMismatch = markedMismatch(QImage::fromData(first.body, "PNG"));
    QVERIFY2(firstMismatch.isEmpty(), qPrintable(firstMismatch));
    const SHttpResult plain = httpGet(link + QStringLiteral("-2.png"));
    QCOMPARE(plain.status, 200);
    const QString secondMismatch = screenMismatch(QImage::fromData(plain.body, "PNG"), second);
    QVERIFY2(secondMismatch.isEmpty(), qPrintable(secondMismatch));
    QCOMPARE(m_program->errorOutput().count("Screenshot succesfully uploaded."), 3);
}

QTEST_MAIN(TestMarkupFlow)
#include "tst_markup.moc"
