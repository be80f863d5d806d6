// The real program in a private headless sway session on scaled outputs: whole and fractional
// scales (compared with the output's own pixels), and two outputs of different scales with the
// overlay on the one under the pointer.
#include "outputpicture.h"
#include "swaysession.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QtTest>

using namespace BL::Test;

class TestWaylandOutputs : public CSwaySession
{
    Q_OBJECT

private slots:
    void initTestCase() { start(); }
    void cleanupTestCase() { stop(); }
    void cleanup() { reportFailure(); }

    void scaledOutputGivesNativePixels_data();
    void scaledOutputGivesNativePixels();
    void twoOutputsEachGiveTheirOwnPixels();

private:
    // What `output` shows, settled, with the pointer at `at`, out of the area (the cursor is
    // drawn into the output's picture). swaybg draws the background again for a new scale or
    // output some time after sway has applied it, so a shot is compared with the pictures settled
    // before and after it.
    QImage settledPictureAt(QPoint at, const QString& output, QSize layout, const QString& file)
    {
        if (!pointer(QStringLiteral("move %1 %2 %3 %4")
                         .arg(at.x())
                         .arg(at.y())
                         .arg(layout.width())
                         .arg(layout.height())))
            return QImage();
        return settledPicture(output, m_root.filePath(file));
    }
};

void TestWaylandOutputs::scaledOutputGivesNativePixels_data()
{
    QTest::addColumn<QString>("scale");
    QTest::addColumn<QSize>("layout");
    QTest::addColumn<QRect>("native");
    // Logical points 100..299 x 100..219 in each; their pixels on the 1280x800 output.
    QTest::newRow("2") << "2" << QSize(640, 400) << QRect(200, 200, 400, 240);
    QTest::newRow("1.5") << "1.5" << QSize(853, 533) << QRect(150, 150, 300, 180);
    QTest::newRow("1.25") << "1.25" << QSize(1024, 640) << QRect(125, 125, 250, 150);
}

void TestWaylandOutputs::scaledOutputGivesNativePixels()
{
    QFETCH(QString, scale);
    QFETCH(QSize, layout);
    QFETCH(QRect, native);
    swaymsg({"output", "HEADLESS-1", "scale", scale});
    const auto restore = qScopeGuard([] { swaymsg({"output", "HEADLESS-1", "scale", "1"}); });
    const QString rect = QJsonDocument::fromJson(swaymsg({"-r", "-t", "get_outputs"}).toUtf8())
                             .array()
                             .first()
                             .toObject()
                             .value(QStringLiteral("rect"))
                             .toObject()
                             .value(QStringLiteral("width"))
                             .toVariant()
                             .toString();
    QCOMPARE(rect, QString::number(layout.width()));
    // The reference is what the output shows: a fractional scale draws the background resampled.
    // grim leaves out the last half row of 1.5, so only the width is sure.
    const QPoint corner(layout.width() - 5, layout.height() - 5);
    const QImage before = settledPictureAt(corner, "HEADLESS-1", layout, QStringLiteral("before.png"));
    const QImage upload = shootArea(corner, "HEADLESS-1", {100, 100}, {299, 219}, layout);
    QVERIFY(!QTest::currentTestFailed());
    const QImage reference = settledPictureAt(corner, "HEADLESS-1", layout, QStringLiteral("native.png"));
    QCOMPARE(reference.width(), 1280);
    // swaybg may draw the background for the new scale only after the shot: then the shot shows
    // the drawing settled before it, which is what the output showed at the hotkey.
    const QString difference = firstDifference(upload, reference.copy(native));
    if (!difference.isEmpty() && before.width() == reference.width())
        QVERIFY2(firstDifference(upload, before.copy(native)).isEmpty(), qPrintable(difference));
    else
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestWaylandOutputs::twoOutputsEachGiveTheirOwnPixels()
{
    swaymsg({"create_output"});
    QString second;
    for (const QJsonValue& output :
         QJsonDocument::fromJson(swaymsg({"-r", "-t", "get_outputs"}).toUtf8()).array())
        if (output.toObject().value(QStringLiteral("name")).toString() != QLatin1String("HEADLESS-1"))
            second = output.toObject().value(QStringLiteral("name")).toString();
    QVERIFY(!second.isEmpty());
    // sway's own default: the seat's focus, which the program asks sway for, follows the pointer
    // onto another output. sway 1.7 cannot remove an output it made: the last test here.
    swaymsg({"focus_follows_mouse", "yes"});
    const auto restore = qScopeGuard([] { swaymsg({"focus_follows_mouse", "no"}); });
    // Ratio 2 right of ratio 1: a layout of 1920x800 points, the second output 640x400 of them.
    swaymsg({"output", second, "resolution", "1280x800", "pos", "1280", "0", "scale", "2", "bg",
             m_root.filePath(QStringLiteral("background.png")), "stretch"});
    const QSize layout(1920, 800);

    // The pointer on the second output: the overlay opens there, and logical 1330..1429 x 50..119
    // are its pixels 100..299 x 100..239, exactly.
    QImage upload = shootArea({1900, 390}, second, {1330, 50}, {1429, 119}, layout);
    QVERIFY(!QTest::currentTestFailed());
    QImage reference = settledPictureAt({1900, 390}, second, layout, QStringLiteral("second.png"));
    QCOMPARE(reference.size(), QSize(1280, 800));
    QString difference = firstDifference(upload, reference.copy(100, 100, 200, 140));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    // Back on the first: there again. The portal pictures the whole layout at the greatest
    // scale, so this output reaches the program enlarged twice, and its own pixels are found
    // again from that.
    upload = shootArea({1270, 790}, "HEADLESS-1", {100, 100}, {299, 219}, layout);
    QVERIFY(!QTest::currentTestFailed());
    reference = settledPictureAt({1270, 790}, "HEADLESS-1", layout, QStringLiteral("first.png"));
    QCOMPARE(nativePicture(QString(), m_root.filePath(QStringLiteral("all.png"))).size(), QSize(3840, 1600));
    QCOMPARE(upload.size(), QSize(200, 120));
    const QImage near = reference.copy(100, 100, 200, 120);
    int far = 0;
    for (int y = 0; y < near.height(); ++y)
        for (int x = 0; x < near.width(); ++x) {
            const QRgb a = upload.pixel(x, y);
            const QRgb b = near.pixel(x, y);
            far += std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                             std::abs(qBlue(a) - qBlue(b))}) > 4;
        }
    qInfo() << "output of ratio 1 beside one of 2:" << far << "of" << near.width() * near.height()
            << "pixels more than 4 off its own";
    QVERIFY2(far * 8 < near.width() * near.height(), qPrintable(QString::number(far)));
}

int main(int argc, char** argv)
{
    // Fonts for the words on the background; the test itself shows nothing on the compositor.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    TestWaylandOutputs test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_outputs.moc"
