// The comparison shot on the second monitor of a nested multi-monitor session
// (tests/support/with-xephyr.sh --desktop), with the real program and the real service: both areas
// dragged there, and the two uploaded pictures must be exactly the native pixels the monitor
// showed. BL_PROGRAM_SCALES gives the program's factor per head, comma-separated; the test itself
// runs unscaled, so its coordinates are the server's native ones.
#include "pattern.h"
#include "serviceprocess.h"
#include "x11session.h"

#include <QImage>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

using namespace BL::Test;

namespace {

constexpr int kXTimeoutMs = 15000;

QString pictureMismatch(const QImage& got, const QRect& nativeArea)
{
    if (got.size() != nativeArea.size())
        return QStringLiteral("size %1x%2 instead of %3x%4")
            .arg(got.width())
            .arg(got.height())
            .arg(nativeArea.width())
            .arg(nativeArea.height());
    for (int y = 0; y < got.height(); ++y)
        for (int x = 0; x < got.width(); ++x) {
            const QColor want = patternAt(nativeArea.x() + x, nativeArea.y() + y);
            if (QColor(got.pixel(x, y)).rgb() != want.rgb())
                return QStringLiteral("pixel %1,%2: %3 instead of %4")
                    .arg(x)
                    .arg(y)
                    .arg(QColor(got.pixel(x, y)).name(), want.name());
        }
    return {};
}

} // namespace

class TestMonitorFlows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void comparisonOnTheSecondMonitor_data();
    void comparisonOnTheSecondMonitor();

private:
    QTemporaryDir m_root;
    QTemporaryDir m_user;
    CServiceProcess m_service;
    std::unique_ptr<CPatternWindow> m_pattern;
    std::unique_ptr<CProgram> m_program;
    QRect m_second;  // the second monitor, native pixels
    int m_ratio = 1; // the program's scale factor there
};

void TestMonitorFlows::initTestCase()
{
    QVERIFY(m_root.isValid());
    const QList<QScreen*> screens = QGuiApplication::screens();
    QVERIFY2(screens.size() >= 2, "run through tests/support/with-xephyr.sh with several heads");
    m_second = screens.at(1)->geometry();
    QProcessEnvironment env = privateUserEnvironment(m_user.path());
    const QStringList scales = qEnvironmentVariable("BL_PROGRAM_SCALES").split(',', Qt::SkipEmptyParts);
    if (!scales.isEmpty()) {
        QCOMPARE(scales.size(), screens.size());
        env.insert(QStringLiteral("QT_SCREEN_SCALE_FACTORS"), scales.join(';'));
        m_ratio = scales.at(1).toInt();
        QCOMPARE(double(m_ratio), scales.at(1).toDouble());
    }
    QVERIFY2(m_service.start(m_root.filePath("service")), qPrintable(m_service.log()));
    env.insert(QStringLiteral("BL_SERVICE_HOST"), m_service.host());

    // The whole desktop below the tray host's strip at the top.
    m_pattern = std::make_unique<CPatternWindow>();
    const QRect desktop = screens.at(0)->virtualGeometry();
    m_pattern->setGeometry(desktop.adjusted(0, 40, 0, 0));
    m_pattern->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_pattern.get()));
    QTRY_COMPARE(m_pattern->mapToGlobal(QPoint(0, 0)), desktop.topLeft() + QPoint(0, 40));

    m_program = startDockedProgram(
        m_user.path(), env,
        {{QStringLiteral("show_pre_help"), true}, {QStringLiteral("show_paste_help"), true}});
    QVERIFY(m_program);
}

void TestMonitorFlows::cleanupTestCase()
{
    if (m_program && QTest::currentTestFailed())
        qWarning().noquote() << "program output:\n" << m_program->errorOutput();
    m_program.reset();
    m_pattern.reset();
    m_service.stop();
}

void TestMonitorFlows::comparisonOnTheSecondMonitor_data()
{
    QTest::addColumn<bool>("markFirst");
    QTest::newRow("plain") << false;
    // Shift at the release opens the first area's mark-up, over the same monitor; Enter shares it
    // into the pair unmarked.
    QTest::newRow("first area through the mark-up") << true;
}

void TestMonitorFlows::comparisonOnTheSecondMonitor()
{
    QFETCH(bool, markFirst);
    // Corners an even number of native pixels from the monitor's origin, so that a scaled
    // monitor's logical pixels cover them exactly; the area ends on the far edge of the logical
    // pixel under the release.
    const QPoint origin = m_second.topLeft();
    const QPoint firstFrom = origin + QPoint(100, 120);
    const QPoint firstTo = origin + QPoint(300, 260);
    const QPoint secondFrom = origin + QPoint(640, 400);
    const QPoint secondTo = origin + QPoint(1000, 700);
    const QSize extra(m_ratio - 1, m_ratio - 1);
    const QRect firstArea(firstFrom, QRect(firstFrom, firstTo).size() + extra);
    const QRect secondArea(secondFrom, QRect(secondFrom, secondTo).size() + extra);

    const QString before = clipboard();
    const int uploads = m_program->errorOutput().count("Screenshot succesfully uploaded.");
    const auto secondWanted = [this, markFirst] {
        return m_program->errorOutput().count(
            markFirst ? "The first picture of the pair is marked; the second area is next"
                      : "comparison overlay shown again for the second area");
    };
    const int wantedBefore = secondWanted();
    xdotool(
        {"mousemove", QString::number(firstFrom.x()), QString::number(firstFrom.y()), "key", "ctrl+alt+m"});
    // Up over the second monitor: that monitor's whole width, placed on its origin.
    const auto overlayOnSecond = [this] {
        const QStringList ids = xdotool({"search", "--onlyvisible", "--classname", "brightloom"})
                                    .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return std::any_of(ids.cbegin(), ids.cend(),
                           [this](const QString& id) { return windowGeometry(id) == m_second; });
    };
    QTRY_VERIFY_WITH_TIMEOUT(overlayOnSecond(), kXTimeoutMs);
    if (markFirst) {
        const int marking = m_program->errorOutput().count("Marking up a picture of");
        xdotool({"mousemove", QString::number(firstFrom.x()), QString::number(firstFrom.y()), "mousedown",
                 "1", "mousemove", QString::number(firstTo.x() - 20), QString::number(firstTo.y() - 20),
                 "mousemove", QString::number(firstTo.x()), QString::number(firstTo.y()), "keydown", "shift",
                 "mouseup", "1", "keyup", "shift"});
        QTRY_COMPARE_WITH_TIMEOUT(m_program->errorOutput().count("Marking up a picture of"), marking + 1,
                                  kXTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(overlayOnSecond(), kXTimeoutMs);
        xdotool({"key", "Return"});
    } else {
        drag(firstFrom, firstTo);
    }
    QTRY_COMPARE_WITH_TIMEOUT(secondWanted(), wantedBefore + 1, kXTimeoutMs);
    // Moved away for the grab, the overlay is back over the same monitor before the second drag.
    QTRY_VERIFY_WITH_TIMEOUT(overlayOnSecond(), kXTimeoutMs);
    drag(secondFrom, secondTo);
    QTRY_COMPARE_WITH_TIMEOUT(m_program->errorOutput().count("Screenshot succesfully uploaded."), uploads + 1,
                              kXTimeoutMs);
    const QString link = clipboard();
    QVERIFY(link != before);
    QTRY_VERIFY_WITH_TIMEOUT(!programOverlayShown(), kXTimeoutMs);

    const QImage first = QImage::fromData(httpGet(link + ".png").body, "PNG");
    const QImage second = QImage::fromData(httpGet(link + "-2.png").body, "PNG");
    QString mismatch = pictureMismatch(first, firstArea);
    QVERIFY2(mismatch.isEmpty(), qPrintable(QStringLiteral("first area: ") + mismatch));
    mismatch = pictureMismatch(second, secondArea);
    QVERIFY2(mismatch.isEmpty(), qPrintable(QStringLiteral("second area: ") + mismatch));
}

QTEST_MAIN(TestMonitorFlows)
#include "tst_monitors.moc"
