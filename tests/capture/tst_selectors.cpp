// Selectors, shot screens and the overlay host on a real X server with a compositor: a pattern
// window lies under the overlay, and input comes through the X server or the real window.
#include "capture/comparisonshotscreen.h"
#include "capture/cropscreen.h"
#include "capture/helpscreen.h"
#include "capture/overlayhost.h"
#include "capture/selectscreenarea.h"
#include "capturetestsupport.h"
#include "resources/resources.h"

#include <QApplication>
#include <QCursor>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QtTest>
#include <memory>

using BL::Test::firstDifference;
using BL::Test::xdotool;

class TestSelectors : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void dragGrabsTheUndimmedDesktop();
    void clickAndOnePixelDragsStillSelect();
    void bandsFramePositionsAndCancel();
    void bandsDimTheDesktopOnce();
    void dragCutShortIsForgotten();
    void dragFromTheOriginSelectsOnRelease();
    void enterCapturesTheWholeScreen();
    void hintTexts();
    void comparisonPairAndHostClosing();
    void comparisonCancelledDuringSecondShot();
    void comparisonEndedWithoutPairStartsOver_data();
    void comparisonEndedWithoutPairStartsOver();
    void helpScreenDismissalClosesTheHost();
    void badAreasGiveNullPictures();

private:
    // Shows the comparison and takes a first shot: it must be the first of a new pair.
    void verifyFreshPairStarts();
    void show(QWidget* overlay);
    QImage expected(const QRect& rect) const { return m_pattern->pattern().copy(rect); }

    std::unique_ptr<BL::Test::CPatternWindow> m_pattern;
    std::unique_ptr<QWidget> m_host;
    BL::Capture::COverlayHost* m_overlays = nullptr;
    CCropScreen* m_single = nullptr;
    CHelpScreen* m_help = nullptr;
    CComparisonShotScreen* m_comparison = nullptr;
    CCropScreen* m_local = nullptr;
    QStringList m_events;
    QList<QPixmap> m_pictures;
};

void TestSelectors::initTestCase()
{
    BL::Resources::registerResources();
    m_pattern = std::make_unique<BL::Test::CPatternWindow>();
    m_pattern->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_pattern.get()));

    m_host = std::make_unique<QWidget>();
    m_single = new CCropScreen(m_host.get(), false);
    m_help = new CHelpScreen(m_host.get(), QString(), QString());
    m_comparison = new CComparisonShotScreen(m_host.get());
    m_local = new CCropScreen(m_host.get(), true);
    for (CSelectScreenArea* selector :
         std::initializer_list<CSelectScreenArea*>{m_single, m_comparison, m_local}) {
        selector->setDimColor(BL::Capture::dimColor());
        connect(
            selector, &CSelectScreenArea::canceled, this, [this] { m_events << QStringLiteral("canceled"); });
        connect(selector, &CSelectScreenArea::hidden, this, [this] { m_events << QStringLiteral("hidden"); });
    }
    m_help->setColor(BL::Capture::dimColor());
    m_overlays = new BL::Capture::COverlayHost(m_host.get(), {m_single, m_help, m_comparison, m_local});

    for (CCropScreen* crop : {m_single, m_local}) {
        connect(crop, &CCropScreen::shot, this, [this] { m_events << QStringLiteral("shot"); });
        connect(crop, &CCropScreen::finished, this, [this](const QPixmap& picture) {
            m_events << QStringLiteral("finished");
            m_pictures << picture;
        });
    }
    connect(
        m_comparison, &CComparisonShotScreen::firstShot, this,
        [this] { m_events << QStringLiteral("firstShot"); });
    connect(m_comparison, &CComparisonShotScreen::secondShot, this,
            [this] { m_events << QStringLiteral("secondShot"); });
    connect(m_comparison, &CComparisonShotScreen::finished, this,
            [this](const QPixmap& first, const QPixmap& second) {
                m_events << QStringLiteral("finished");
                m_pictures << first << second;
            });
}

void TestSelectors::cleanup()
{
    xdotool({QStringLiteral("mouseup"), QStringLiteral("1")});
    m_host->close();
    QTRY_VERIFY(!m_host->isVisible());
    m_events.clear();
    m_pictures.clear();
}

void TestSelectors::show(QWidget* overlay)
{
    m_overlays->showOverlay(overlay);
    QVERIFY(QTest::qWaitForWindowExposed(m_host.get()));
    if (auto* selector = qobject_cast<CSelectScreenArea*>(overlay))
        QVERIFY(BL::Test::waitForSelectorUp(selector));
    m_events.clear();
}

void TestSelectors::dragGrabsTheUndimmedDesktop()
{
    xdotool({QStringLiteral("mousemove"), QStringLiteral("640"), QStringLiteral("400")});
    show(m_single);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(m_host->geometry(), screen);
    QCOMPARE(m_single->geometry(), QRect(QPoint(0, 0), screen.size()));
    QCOMPARE(m_host->cursor().shape(), Qt::BlankCursor);

    QCOMPARE(xdotool({QStringLiteral("mousemove"), QStringLiteral("100"), QStringLiteral("100"),
                      QStringLiteral("mousedown"), QStringLiteral("1"), QStringLiteral("mousemove"),
                      QStringLiteral("300"), QStringLiteral("250"), QStringLiteral("mouseup"),
                      QStringLiteral("1")}),
             0);
    // The host is gone before the grab, not torn down after it.
    QTRY_COMPARE(m_events, (QStringList{"hidden", "shot", "finished"}));
    QCOMPARE(m_pictures.size(), 1);
    QCOMPARE(m_pictures[0].size(), QSize(201, 151));
    QCOMPARE(firstDifference(m_pictures[0].toImage(), expected(QRect(100, 100, 201, 151))), -1);
    QTRY_VERIFY(!m_host->isVisible());
    QCOMPARE(m_host->cursor().shape(), Qt::ArrowCursor); // the system cursor is back
}

void TestSelectors::clickAndOnePixelDragsStillSelect()
{
    show(m_local);
    QCOMPARE(xdotool({QStringLiteral("mousemove"), QStringLiteral("400"), QStringLiteral("300"),
                      QStringLiteral("click"), QStringLiteral("1")}),
             0);
    QTRY_COMPARE(m_pictures.size(), 1);
    QCOMPARE(m_pictures[0].size(), QSize(1, 1));
    QCOMPARE(firstDifference(m_pictures[0].toImage(), expected(QRect(400, 300, 1, 1))), -1);
    QTRY_VERIFY(!m_host->isVisible());

    // Released one pixel to the right of the press: two pixels, not an empty rectangle.
    show(m_single);
    m_pictures.clear();
    QCOMPARE(xdotool({QStringLiteral("mousemove"), QStringLiteral("500"), QStringLiteral("200"),
                      QStringLiteral("mousedown"), QStringLiteral("1"), QStringLiteral("mousemove"),
                      QStringLiteral("501"), QStringLiteral("200"), QStringLiteral("mouseup"),
                      QStringLiteral("1")}),
             0);
    QTRY_COMPARE(m_pictures.size(), 1);
    QCOMPARE(m_pictures[0].size(), QSize(2, 1));
    QCOMPARE(firstDifference(m_pictures[0].toImage(), expected(QRect(500, 200, 2, 1))), -1);
}

void TestSelectors::bandsFramePositionsAndCancel()
{
    show(m_single);
    const QSize size = m_single->size();
    auto band = [this](const char* name) {
        return m_single->findChild<QWidget*>(QLatin1String(name))->geometry();
    };
    // Fully dimmed at first, with the empty selection in the middle.
    QCOMPARE(band("topBand").bottom(), size.height() / 2 - 1);
    QVERIFY(m_single->findChild<QLabel*>(QStringLiteral("hintLabel"))->isVisible());

    QTest::mousePress(m_single, Qt::LeftButton, {}, QPoint(100, 50));
    QMouseEvent move(QEvent::MouseMove, QPointF(109, 69), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_single, &move);

    QCOMPARE(m_single->findChild<QFrame*>(QStringLiteral("selectionFrame"))->geometry(),
             QRect(100, 50, 10, 20));
    QCOMPARE(band("topBand"), QRect(0, 0, size.width(), 50));
    QCOMPARE(band("bottomBand"), QRect(QPoint(0, 70), QPoint(size.width() - 1, size.height() - 1)));
    QCOMPARE(band("leftBand"), QRect(QPoint(0, 50), QPoint(100, 69)));
    QCOMPARE(band("rightBand"), QRect(QPoint(109, 50), QPoint(size.width() - 1, 69)));
    QVERIFY(!m_single->findChild<QLabel*>(QStringLiteral("hintLabel"))->isVisible());

    // Beyond the right and bottom edges counts as the last column and row.
    QMouseEvent beyond(QEvent::MouseMove, QPointF(size.width() + 40, size.height() + 40), Qt::NoButton,
                       Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_single, &beyond);
    QCOMPARE(m_single->findChild<QFrame*>(QStringLiteral("selectionFrame"))->geometry(),
             QRect(QPoint(100, 50), QPoint(size.width() - 1, size.height() - 1)));

    QTest::keyClick(m_host.get(), Qt::Key_Escape);
    QCOMPARE(m_events, (QStringList{"canceled", "hidden"}));
    QTRY_VERIFY(!m_host->isVisible());
    QVERIFY(m_pictures.isEmpty());
}

// What the compositor shows: the desktop through the bands, darkened by one layer of the dim
// colour at alpha 110, and untouched inside the selection.
void TestSelectors::bandsDimTheDesktopOnce()
{
    show(m_single);
    const QSize size = m_single->size();
    QTest::mousePress(m_single, Qt::LeftButton, {}, QPoint(100, 50));
    QMouseEvent move(QEvent::MouseMove, QPointF(400, 300), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_single, &move);

    const auto dimmed = [](int under) { return (under * (255 - 110) + 24 * 110 + 127) / 255; };
    struct SSpot
    {
        QPoint at;
        bool dim;
    };
    const QVector<SSpot> spots{{{300, 20}, true}, {{300, size.height() - 20}, true}, {{200, 150}, false}};
    // Largest difference of any channel from the expected colour, over every spot.
    const auto worst = [&] {
        int worst = 0;
        for (const SSpot& spot : spots) {
            const QRgb under = expected(QRect(spot.at, QSize(1, 1))).pixel(0, 0);
            const QRgb seen = BL::Capture::grabScreenArea(QRect(spot.at, QSize(1, 1))).toImage().pixel(0, 0);
            for (int shift : {16, 8, 0}) {
                const int below = int(under >> shift) & 0xff;
                const int want = spot.dim ? dimmed(below) : below;
                worst = std::max(worst, std::abs(int(seen >> shift & 0xff) - want));
            }
        }
        return worst;
    };
    QTRY_VERIFY2(worst() <= 2, qPrintable(QStringLiteral("off by %1").arg(worst())));
    QTest::keyClick(m_host.get(), Qt::Key_Escape);
    QTRY_VERIFY(!m_host->isVisible());
}

void TestSelectors::dragCutShortIsForgotten()
{
    show(m_single);
    QTest::mousePress(m_single, Qt::LeftButton, {}, QPoint(10, 10));
    m_host->close();
    QTRY_VERIFY(!m_host->isVisible());

    show(m_single);
    QCOMPARE(xdotool({QStringLiteral("mousemove"), QStringLiteral("600"), QStringLiteral("300"),
                      QStringLiteral("click"), QStringLiteral("1")}),
             0);
    QTRY_COMPARE(m_pictures.size(), 1);
    QCOMPARE(m_pictures[0].size(), QSize(1, 1));
    QCOMPARE(firstDifference(m_pictures[0].toImage(), expected(QRect(600, 300, 1, 1))), -1);
}

void TestSelectors::dragFromTheOriginSelectsOnRelease()
{
    show(m_single);
    auto* frame = m_single->findChild<QFrame*>(QStringLiteral("selectionFrame"));
    const QRect before = frame->geometry();
    // Sent directly: QTest reads a (0,0) position as "the centre of the widget".
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(0, 0), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(m_single, &press);
    QMouseEvent move(QEvent::MouseMove, QPointF(50, 40), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_single, &move);
    QCOMPARE(frame->geometry(), before); // (0,0) reads as "no drag": the frame does not follow

    QTest::mouseRelease(m_single, Qt::LeftButton, {}, QPoint(50, 40));
    QCOMPARE(m_events, (QStringList{"hidden", "shot", "finished"}));
    QCOMPARE(firstDifference(m_pictures[0].toImage(), expected(QRect(0, 0, 51, 41))), -1);
}

void TestSelectors::enterCapturesTheWholeScreen()
{
    show(m_single);
    QTest::keyClick(m_host.get(), Qt::Key_Return);
    QCOMPARE(m_events, (QStringList{"hidden", "shot", "finished"}));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(m_pictures[0].size(), screen.size());
    QCOMPARE(firstDifference(m_pictures[0].toImage(), expected(screen)), -1);
    QTRY_VERIFY(!m_host->isVisible());

    // Enter of the keypad too, and only the first visible selector takes it.
    show(m_local);
    m_pictures.clear();
    QTest::keyClick(m_host.get(), Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(m_pictures.size(), 1);
}

void TestSelectors::hintTexts()
{
    const QString prefix = QStringLiteral(
        "<span style=\"color: black; font-family: Helvetica; font-size: 15px; letter-spacing: 0.34px; "
        "line-height: 18px;\">Drag to select capture area");
    const QString postfix = QStringLiteral(
        "</span><br/><span style=\"color: black; font-family: Helvetica; font-size: 12px; letter-spacing: "
        "0.34px; line-height: 18px;\">Press ↵ Enter to capture fullscreen. Esc — to cancel</span>");
    // The hint is laid out when its selector shows, and sized to its text then.
    auto hint = [this](QWidget* selector) {
        show(selector);
        const auto* label = selector->findChild<QLabel*>(QStringLiteral("hintLabel"));
        return label->size() == label->sizeHint() ? label->text() : QStringLiteral("not laid out");
    };
    // The desktop lists its windows here: the hint tells how to pick one.
    const QString windows = QStringLiteral(
        "<br/><span style=\"color: black; font-family: Helvetica; font-size: 12px; letter-spacing: "
        "0.34px; line-height: 18px;\">Press Space to pick a window</span>");
    QCOMPARE(hint(m_single), prefix + postfix + windows);
    QCOMPARE(hint(m_local), prefix + QStringLiteral(" for local shot") + postfix + windows);
    QCOMPARE(hint(m_comparison), prefix + QStringLiteral(" for the first shot") + postfix + windows);
}

void TestSelectors::comparisonPairAndHostClosing()
{
    auto hint = [this] { return m_comparison->findChild<QLabel*>(QStringLiteral("hintLabel"))->text(); };
    show(m_comparison);
    QVERIFY(hint().contains(QStringLiteral(" for the first shot</span>")));
    QTest::keyClick(m_host.get(), Qt::Key_Return);
    QCOMPARE(m_events, QStringList{"firstShot"});
    // Shown again, in place, for the second selection.
    QVERIFY(m_comparison->isVisible());
    QCOMPARE(m_host->pos(), QGuiApplication::primaryScreen()->geometry().topLeft());
    QVERIFY(hint().contains(QStringLiteral(" for the second shot</span>")));
    // The repeats of a held Enter take nothing: the second area is still the person's to choose.
    QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(m_host.get(), &repeat);
    QCOMPARE(m_events, QStringList{"firstShot"});
    QVERIFY(m_comparison->isVisible());

    QCOMPARE(
        xdotool({QStringLiteral("mousemove"), QStringLiteral("20"), QStringLiteral("30"),
                 QStringLiteral("mousedown"), QStringLiteral("1"), QStringLiteral("mousemove"),
                 QStringLiteral("69"), QStringLiteral("59"), QStringLiteral("mouseup"), QStringLiteral("1")}),
        0);
    QTRY_COMPARE(m_events, (QStringList{"firstShot", "secondShot", "finished"}));
    QCOMPARE(m_pictures.size(), 2);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(firstDifference(m_pictures[0].toImage(), expected(screen)), -1);
    QCOMPARE(firstDifference(m_pictures[1].toImage(), expected(QRect(20, 30, 50, 30))), -1);
    // No hidden, yet the host must not linger out of sight with the input grabbed.
    QTRY_VERIFY(!m_host->isVisible());
    QCOMPARE(m_events.count(QStringLiteral("hidden")), 0);

    show(m_comparison);
    QVERIFY(hint().contains(QStringLiteral(" for the first shot</span>")));
}

void TestSelectors::comparisonCancelledDuringSecondShot()
{
    show(m_comparison);
    QTest::keyClick(m_host.get(), Qt::Key_Return);
    QCOMPARE(m_events, QStringList{"firstShot"});
    QTest::keyClick(m_host.get(), Qt::Key_Escape);
    QCOMPARE(m_events, (QStringList{"firstShot", "canceled", "hidden"}));
    QTRY_VERIFY(!m_host->isVisible());

    verifyFreshPairStarts();
}

void TestSelectors::verifyFreshPairStarts()
{
    show(m_comparison);
    QVERIFY(m_comparison->findChild<QLabel*>(QStringLiteral("hintLabel"))
                ->text()
                .contains(QStringLiteral(" for the first shot</span>")));
    QTest::keyClick(m_host.get(), Qt::Key_Return);
    QCOMPARE(m_events, QStringList{"firstShot"}); // a fresh pair, not the end of the old one
}

void TestSelectors::comparisonEndedWithoutPairStartsOver_data()
{
    QTest::addColumn<bool>("switchOverlay");
    // A press outside the popup host (on another monitor) closes it without a cancel.
    QTest::newRow("host closed") << false;
    // A hotkey shows another overlay in its place.
    QTest::newRow("other overlay shown") << true;
}

void TestSelectors::comparisonEndedWithoutPairStartsOver()
{
    QFETCH(bool, switchOverlay);
    show(m_comparison);
    QTest::keyClick(m_host.get(), Qt::Key_Return);
    QCOMPARE(m_events, QStringList{"firstShot"});
    QTRY_VERIFY(m_comparison->isVisible());
    if (switchOverlay) {
        show(m_single);
        QVERIFY(!m_comparison->isVisible());
    }
    m_host->close();
    QTRY_VERIFY(!m_host->isVisible());

    verifyFreshPairStarts();
    QVERIFY(m_pictures.isEmpty()); // no stale first picture was paired
}

void TestSelectors::helpScreenDismissalClosesTheHost()
{
    m_help->setHelpImage(QStringLiteral(":cam.png"));
    m_help->setHelpText(QStringLiteral("Any key"));
    show(m_help);
    QVERIFY(m_help->isVisible());
    // Any key, through the host: the help screen goes, and so does the emptied host.
    QCOMPARE(xdotool({QStringLiteral("key"), QStringLiteral("a")}), 0);
    QTRY_VERIFY(!m_help->isVisible());
    QTRY_VERIFY(!m_host->isVisible());
    QCOMPARE(m_host->cursor().shape(), Qt::ArrowCursor);

    show(m_help);
    QCOMPARE(xdotool({QStringLiteral("mousemove"), QStringLiteral("700"), QStringLiteral("500"),
                      QStringLiteral("click"), QStringLiteral("3")}),
             0);
    QTRY_VERIFY(!m_host->isVisible());

    // Escape and Enter on the help screen close it and reach none of the selectors behind it
    // (hidden, but alive): no cancel, no shot. The real keys, through the X server.
    for (const char* key : {"Escape", "Return"}) {
        show(m_help);
        QCOMPARE(xdotool({QStringLiteral("key"), QLatin1String(key)}), 0);
        QTRY_VERIFY(!m_host->isVisible());
        // A shot or a cancel would have been reported by now: the host closes after them.
        QCoreApplication::processEvents();
        QVERIFY2(m_events.isEmpty(), qPrintable(QLatin1String(key) + QLatin1Char(' ') + m_events.join(' ')));
    }
}

void TestSelectors::badAreasGiveNullPictures()
{
    QVERIFY(BL::Capture::grabScreenArea(QRect(5000, 5000, 10, 10)).isNull());
    QVERIFY(BL::Capture::grabScreenArea(QRect(-500, -500, 10, 10)).isNull());
    QVERIFY(BL::Capture::grabScreenArea(QRect()).isNull());
    QVERIFY(BL::Capture::grabScreenArea(QRect(10, 10, 0, 5)).isNull());
    QVERIFY(BL::Capture::screenContaining(QPoint(5000, 5000)) == nullptr);
    const QPixmap ok = BL::Capture::grabScreenArea(QRect(10, 20, 30, 40));
    QCOMPARE(firstDifference(ok.toImage(), expected(QRect(10, 20, 30, 40))), -1);
}

QTEST_MAIN(TestSelectors)
#include "tst_selectors.moc"
