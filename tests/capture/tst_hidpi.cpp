// Overlays on a screen with device pixel ratio 2 (run with QT_SCALE_FACTOR=2 on Xvfb).
#include "capture/cropscreen.h"
#include "capture/overlayhost.h"
#include "capturetestsupport.h"
#include "resources/resources.h"

#include <QtTest>
#include <memory>

using BL::Test::firstDifference;
using BL::Test::xdotool;

class TestHiDpi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void crosshairUsesTheDoubleSizeImage();
    void dragKeepsTheFullResolution();

private:
    std::unique_ptr<BL::Test::CPatternWindow> m_pattern;
    std::unique_ptr<QWidget> m_host;
    BL::Capture::COverlayHost* m_overlays = nullptr;
    CCropScreen* m_single = nullptr;
};

void TestHiDpi::initTestCase()
{
    BL::Resources::registerResources();
    QCOMPARE(QGuiApplication::primaryScreen()->devicePixelRatio(), 2.0);
    m_pattern = std::make_unique<BL::Test::CPatternWindow>();
    m_pattern->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_pattern.get()));
    m_host = std::make_unique<QWidget>();
    m_single = new CCropScreen(m_host.get(), false);
    m_single->setDimColor(BL::Capture::dimColor());
    m_overlays = new BL::Capture::COverlayHost(m_host.get(), {m_single});
}

void TestHiDpi::crosshairUsesTheDoubleSizeImage()
{
    m_overlays->showOverlay(m_single);
    QVERIFY(QTest::qWaitForWindowExposed(m_host.get()));
    QVERIFY(BL::Test::waitForSelectorUp(m_single));
    auto* cross = m_single->findChild<QWidget*>(QStringLiteral("cross"));
    QCOMPARE(cross->size(), QSize(27, 27));

    QImage drawn(54, 54, QImage::Format_ARGB32_Premultiplied);
    drawn.setDevicePixelRatio(2);
    drawn.fill(Qt::transparent);
    cross->render(&drawn, QPoint(), QRegion(), QWidget::DrawChildren);

    const QImage twice =
        QImage(QStringLiteral(":Grabber@2x.png")).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage upscaled = QImage(QStringLiteral(":Grabber.png"))
                                .scaled(54, 54, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                                .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QVERIFY(twice != upscaled);   // otherwise this test could not tell them apart
    drawn.setDevicePixelRatio(1); // compare pixels only: the "@2x" file loads with a ratio of its own
    QImage twiceUnscaled = twice;
    twiceUnscaled.setDevicePixelRatio(1);
    QCOMPARE(drawn, twiceUnscaled);
    m_host->close();
}

void TestHiDpi::dragKeepsTheFullResolution()
{
    QList<QPixmap> pictures;
    connect(m_single, &CCropScreen::finished, this,
            [&pictures](const QPixmap& picture) { pictures << picture; });
    m_overlays->showOverlay(m_single);
    QVERIFY(QTest::qWaitForWindowExposed(m_host.get()));
    QVERIFY(BL::Test::waitForSelectorUp(m_single));

    // xdotool speaks device pixels: (200,200)-(600,500) is (100,100)-(300,250) in logical ones.
    QCOMPARE(xdotool({QStringLiteral("mousemove"), QStringLiteral("200"), QStringLiteral("200"),
                      QStringLiteral("mousedown"), QStringLiteral("1"), QStringLiteral("mousemove"),
                      QStringLiteral("600"), QStringLiteral("500"), QStringLiteral("mouseup"),
                      QStringLiteral("1")}),
             0);
    QTRY_COMPARE(pictures.size(), 1);
    QCOMPARE(pictures[0].devicePixelRatio(), 2.0);
    QCOMPARE(pictures[0].size(), QSize(402, 302));
    const QImage expected = m_pattern->pattern()
                                .copy(QRect(100, 100, 201, 151))
                                .scaled(402, 302, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    QCOMPARE(firstDifference(pictures[0].toImage(), expected), -1);
}

QTEST_MAIN(TestHiDpi)
#include "tst_hidpi.moc"
