// Qt closes every popup when the application loses the input focus. The overlay host is a popup,
// and the focus leaves the program for moments it did not ask for (the previous overlay's window
// going away just before, another program taking it): the overlay and a drag on it must stay.
#include "capture/cropscreen.h"
#include "capture/overlayhost.h"
#include "platform/singleapplication.h"

#include <QPixmap>
#include <QtTest>

class TestOverlayFocus : public QObject
{
    Q_OBJECT

private slots:
    void overlayAndDragOutliveTheFocus();
};

namespace {

void loseFocus()
{
    QEvent deactivate(QEvent::ApplicationDeactivate);
    QCoreApplication::sendEvent(qApp, &deactivate);
}

} // namespace

void TestOverlayFocus::overlayAndDragOutliveTheFocus()
{
    // The control: the lost focus does close a popup that does not ask to stay, so the overlay
    // staying below is the program's doing.
    {
        QWidget popup(nullptr, Qt::Popup);
        popup.resize(80, 60);
        popup.show();
        QVERIFY(QTest::qWaitForWindowExposed(&popup));
        loseFocus();
        // Closed while the deactivation is delivered: what the overlay does with it is done too
        // once loseFocus() returns.
        QVERIFY(!popup.isVisible());
    }

    QWidget host;
    auto* selector = new CCropScreen(&host, false);
    auto* overlays = new BL::Capture::COverlayHost(&host, {selector});
    QList<QPixmap> pictures;
    connect(selector, &CCropScreen::finished, this, [&pictures](const QPixmap& shot) { pictures << shot; });
    overlays->showOverlay(selector);
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    QTRY_VERIFY(selector->isVisible());

    QTest::mousePress(selector, Qt::LeftButton, {}, QPoint(10, 20));
    loseFocus();
    QVERIFY(host.isVisible());
    QVERIFY(selector->isVisible());
    QTest::mouseMove(selector, QPoint(40, 50));
    QTest::mouseRelease(selector, Qt::LeftButton, {}, QPoint(60, 50));
    QTRY_COMPARE(pictures.size(), 1);
    QCOMPARE(pictures[0].size(), QSize(51, 31));
    QTRY_VERIFY(!host.isVisible());
}

int main(int argc, char** argv)
{
    CSingleApplication app(argc, argv);
    TestOverlayFocus test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_overlayfocus.moc"
