// The mark-up surface on a real X server, hosted as the overlays are: marks drawn with the pointer
// through the X server, keys given to the shown surface, then the picture each way out emits.
// The keys do not go through the X server: its input focus is the window manager's to move (it
// does, late, after the host's last closing), and that is the host's matter, not the surface's.
#include "capture/markupitems.h"
#include "capture/markupsurface.h"
#include "capture/overlayhost.h"
#include "capture/screenarea.h"
#include "capturetestsupport.h"
#include "resources/resources.h"

#include <QApplication>
#include <QGuiApplication>
#include <QKeySequence>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QtTest>
#include <memory>

using BL::Capture::CMarkupSurface;
using BL::Capture::EMarkupTool;
using BL::Test::firstDifference;
using BL::Test::xdotool;
using EAction = CMarkupSurface::EAction;

namespace {

QStringList args(const char* line)
{
    return QString::fromLatin1(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QRgb paletteRgb(int index)
{
    return BL::Capture::markupPalette()[size_t(index)].rgb();
}

// Runs a program while the event loop goes on, so that it can ask this process for the clipboard.
QByteArray readOutput(const QString& program, const QStringList& arguments)
{
    QProcess process;
    QSignalSpy done(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    process.start(program, arguments);
    if (!done.wait(10000))
        return QByteArrayLiteral("(no answer)");
    return process.readAllStandardOutput();
}

} // namespace

class TestMarkup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void marksThenShareGiveTheComposition_data();
    void marksThenShareGiveTheComposition();
    void undoAndRedoRestoreExactly();
    void waysOutEmitOncePerPicture();
    void copyPutsThePngOnTheClipboard();

private:
    // Shows the surface in the overlay host with a pattern picture of `pixels` at `ratio`.
    void show(const QSize& pixels, qreal ratio);
    // The picture pixel under a point of the screen.
    QPoint pixel(const QPoint& global) const;
    // What the screen shows where the picture is (at ratio 1, pixel for pixel).
    QImage onScreen() const;
    // Keys given to the shown surface, written as key sequences: "R 1 Ctrl+Z Return".
    void keys(const char* line);
    // A drag with the left button through the X server, from the first point through the others;
    // returns once the surface has taken it: the composition changed.
    void drag(const QVector<QPoint>& points);
    // A click with the text tool at a point of the screen, then the text typed.
    void typeAt(const QPoint& global, const QString& text);

    std::unique_ptr<QWidget> m_host;
    BL::Capture::COverlayHost* m_overlays = nullptr;
    CMarkupSurface* m_surface = nullptr;
    QImage m_original;
    QPoint m_topLeft{200, 150};
    QList<QPair<EAction, QImage>> m_results;
};

void TestMarkup::initTestCase()
{
    BL::Resources::registerResources();
    m_host = std::make_unique<QWidget>();
    m_surface = new CMarkupSurface(m_host.get());
    m_overlays = new BL::Capture::COverlayHost(m_host.get(), {m_surface});
    connect(m_surface, &CMarkupSurface::finished, this, [this](EAction action, const QImage& picture) {
        m_results.append({action, picture});
    });
}

void TestMarkup::cleanup()
{
    xdotool(args("mouseup 1"));
    m_host->close();
    QTRY_VERIFY(!m_host->isVisible());
    m_results.clear();
}

void TestMarkup::show(const QSize& pixels, qreal ratio)
{
    // Each picture is a new showing, as the owner gives it.
    m_host->close();
    QTRY_VERIFY(!m_host->isVisible());
    m_original = BL::Test::makePattern(pixels);
    m_original.setDevicePixelRatio(ratio);
    QCOMPARE(xdotool(args("mousemove 640 20")), 0);
    m_surface->setPicture(m_original, m_topLeft);
    m_surface->setTool(EMarkupTool::Redact);
    m_surface->setColorIndex(0);
    m_overlays->showOverlay(m_surface);
    QVERIFY(QTest::qWaitForWindowExposed(m_host.get()));
    // The keys of the host's window go to its focus widget: the surface takes it once shown.
    QTRY_COMPARE(QApplication::focusWidget(), m_surface);
    m_results.clear();
}

void TestMarkup::keys(const char* line)
{
    for (const QString& word : args(line)) {
        const int combination = QKeySequence::fromString(word)[0];
        QTest::keyClick(m_surface, Qt::Key(combination & ~Qt::KeyboardModifierMask),
                        Qt::KeyboardModifiers(combination & Qt::KeyboardModifierMask));
    }
}

void TestMarkup::drag(const QVector<QPoint>& points)
{
    const QImage before = m_surface->picture();
    QStringList line{QStringLiteral("mousemove"), QString::number(points[0].x()),
                     QString::number(points[0].y()), QStringLiteral("mousedown"), QStringLiteral("1")};
    for (int i = 1; i < points.size(); ++i)
        line << QStringLiteral("mousemove") << QString::number(points[i].x())
             << QString::number(points[i].y());
    line << QStringLiteral("mouseup") << QStringLiteral("1");
    QCOMPARE(xdotool(line), 0);
    QTRY_VERIFY(firstDifference(m_surface->picture(), before) != -1);
}

void TestMarkup::typeAt(const QPoint& global, const QString& text)
{
    QTest::mouseClick(m_surface, Qt::LeftButton, {}, m_surface->mapFromGlobal(global));
    QTest::keyClicks(m_surface, text);
}

QPoint TestMarkup::pixel(const QPoint& global) const
{
    return ((global - m_topLeft) * m_original.devicePixelRatio());
}

QImage TestMarkup::onScreen() const
{
    return BL::Capture::grabScreenArea(QRect(m_topLeft, m_original.size())).toImage();
}

void TestMarkup::marksThenShareGiveTheComposition_data()
{
    QTest::addColumn<qreal>("ratio");
    QTest::newRow("ratio 1") << qreal(1);
    QTest::newRow("ratio 2, shown at half size") << qreal(2);
}

void TestMarkup::marksThenShareGiveTheComposition()
{
    QFETCH(qreal, ratio);
    show(QSize(600, 400) * ratio, ratio);
    QCOMPARE(m_surface->pictureRect(), QRectF(m_topLeft, QSizeF(600, 400)));
    // The strip stands beside the picture, never over what is being marked.
    const QRect strip = m_surface->findChild<QWidget*>(QStringLiteral("markupToolStrip"))->geometry();
    QVERIFY(strip.isValid() && m_surface->rect().contains(strip));
    QVERIFY(!strip.intersects(m_surface->pictureRect().toAlignedRect()));

    keys("R 1");
    drag({{230, 180}, {300, 260}, {330, 230}});
    keys("B 4");
    drag({{400, 180}, {520, 260}});
    keys("A 3");
    drag({{250, 350}, {450, 300}});
    // Letters and digits typed into a text are text: H, i and 1 neither switch tool nor colour.
    keys("5 T");
    typeAt({600, 450}, QStringLiteral("Hi1"));
    keys("Return Return");
    QTRY_COMPARE(m_results.size(), 1);
    QCOMPARE(m_results[0].first, EAction::Share);
    QCOMPARE(m_surface->tool(), EMarkupTool::Text);
    QCOMPARE(m_surface->colorIndex(), 4);

    const QImage out = m_results[0].second.convertToFormat(QImage::Format_RGB32);
    QCOMPARE(out.size(), m_original.size());
    QCOMPARE(m_results[0].second.devicePixelRatio(), ratio);

    const QRect redacted = BL::Capture::rectFromCorners(pixel({230, 180}), pixel({330, 230}));
    for (int y = redacted.top(); y <= redacted.bottom(); ++y)
        for (int x = redacted.left(); x <= redacted.right(); ++x)
            QCOMPARE(out.pixel(x, y), paletteRgb(0));
    const QRect box = BL::Capture::rectFromCorners(pixel({400, 180}), pixel({520, 260}));
    QCOMPARE(out.pixel(box.center().x(), box.top() + 1), paletteRgb(3));
    QCOMPARE(out.pixel(box.left() + 1, box.center().y()), paletteRgb(3));
    QCOMPARE(out.pixel(box.center()), m_original.pixel(box.center())); // an outline, not a fill
    const QPoint arrowFrom = pixel({250, 350});
    const QPoint arrowTo = pixel({450, 300});
    QCOMPARE(out.pixel((arrowFrom + arrowTo) / 2), paletteRgb(2));
    const QRect text(pixel({600, 450}), QSize(120, 40) * ratio);
    int inked = 0;
    for (int y = text.top(); y <= text.bottom(); ++y)
        for (int x = text.left(); x <= text.right(); ++x)
            inked += out.pixel(x, y) == paletteRgb(4);
    QVERIFY2(inked > 40 * ratio * ratio, qPrintable(QString::number(inked)));

    // Everything outside the marks is the original, to the pixel; the redaction covers its box exactly.
    const int head = int(20 * ratio);
    const QRegion marked =
        QRegion(redacted) + box +
        BL::Capture::rectFromCorners(arrowFrom, arrowTo).adjusted(-head, -head, head, head) +
        text.adjusted(-4, -4, 4, 4);
    const QImage original = m_original.convertToFormat(QImage::Format_RGB32);
    int changedOutside = 0;
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x)
            changedOutside += !marked.contains(QPoint(x, y)) && out.pixel(x, y) != original.pixel(x, y);
    QCOMPARE(changedOutside, 0);
    QCOMPARE(out.pixel(redacted.topLeft() - QPoint(1, 1)), original.pixel(redacted.topLeft() - QPoint(1, 1)));
    QCOMPARE(out.pixel(redacted.bottomRight() + QPoint(1, 1)),
             original.pixel(redacted.bottomRight() + QPoint(1, 1)));

    // What the person saw is what went out.
    if (ratio == 1)
        QTRY_COMPARE(firstDifference(onScreen(), out), -1);
}

void TestMarkup::undoAndRedoRestoreExactly()
{
    show(QSize(600, 400), 1);
    const QImage s0 = m_surface->picture();
    QCOMPARE(firstDifference(s0, m_original), -1);

    drag({{220, 170}, {300, 220}});
    const QImage s1 = m_surface->picture();
    // A box dragged wide and brought back in: nothing of the wide one may stay on screen.
    keys("B 2");
    QCOMPARE(xdotool(args("mousemove 350 200 mousedown 1 mousemove 780 530")), 0);
    // Seen wide on screen first: the X server merges pointer moves that are not taken in time.
    QTRY_COMPARE(onScreen().pixel(pixel({779, 529}) - QPoint(1, 1)), paletteRgb(1));
    QCOMPARE(xdotool(args("mousemove 420 260 mouseup 1")), 0);
    QTRY_VERIFY(firstDifference(m_surface->picture(), s1) != -1);
    const QImage s2 = m_surface->picture();
    keys("H 2");
    drag({{450, 400}, {600, 420}, {520, 480}, {470, 380}});
    const QImage s3 = m_surface->picture();
    QTRY_COMPARE(firstDifference(onScreen(), s3), -1);

    auto expect = [this](const char* line, const QImage& picture) {
        keys(line);
        QTRY_COMPARE(firstDifference(m_surface->picture(), picture), -1);
        QTRY_COMPARE(firstDifference(onScreen(), picture), -1);
    };
    expect("Ctrl+Z", s2);
    expect("Ctrl+Z", s1);
    expect("Ctrl+Shift+Z", s2);
    expect("Ctrl+Shift+Z", s3);
    expect("Ctrl+Z Ctrl+Z Ctrl+Z", s0);
    expect("Ctrl+Z", s0); // nothing left to undo
    expect("Ctrl+Shift+Z", s1);

    // A new mark drops what could have been redone.
    keys("A");
    drag({{250, 450}, {500, 300}});
    const QImage s4 = m_surface->picture();
    expect("Ctrl+Shift+Z", s4);
    expect("Ctrl+Z", s1);

    // Undo in the middle of a drag drops the mark being drawn, and the release adds nothing.
    keys("R");
    QCOMPARE(xdotool(args("mousemove 600 200 mousedown 1 mousemove 700 300")), 0);
    QTRY_COMPARE(onScreen().pixel(pixel({650, 250})), paletteRgb(m_surface->colorIndex()));
    keys("Ctrl+Z");
    QCOMPARE(xdotool(args("mousemove 720 320 mouseup 1")), 0);
    QTRY_COMPARE(QGuiApplication::mouseButtons(), Qt::NoButton); // the release is taken
    QTRY_COMPARE(firstDifference(onScreen(), s1), -1);
    keys("Return");
    QTRY_COMPARE(m_results.size(), 1);
    QCOMPARE(firstDifference(m_results[0].second, s1), -1);
}

void TestMarkup::waysOutEmitOncePerPicture()
{
    // Escape while a text is typed drops only the text: the surface stays, and saves the original.
    show(QSize(500, 300), 1);
    keys("T");
    typeAt({300, 250}, QStringLiteral("secret"));
    keys("Escape Ctrl+S");
    QTRY_COMPARE(m_results.size(), 1);
    QCOMPARE(m_results[0].first, EAction::Save);
    QCOMPARE(firstDifference(m_results[0].second, m_original), -1);

    // A held Enter ends the text and no more: its repeats do not share. Nor does a held Escape
    // leave once it has dropped a text.
    show(QSize(500, 300), 1);
    QCOMPARE(xdotool(args("mousemove 300 250")), 0);
    QTRY_COMPARE(QCursor::pos(), QPoint(300, 250));
    keys("T"); // typing starts where the pointer is
    QTest::keyClicks(m_surface, QStringLiteral("ab"));
    keys("Return");
    QVERIFY(firstDifference(m_surface->picture(), m_original) != -1);
    const QImage withText = m_surface->picture();
    QTest::simulateEvent(m_surface, true, Qt::Key_Return, Qt::NoModifier, QString(), true);
    typeAt({300, 300}, QStringLiteral("cd"));
    keys("Escape");
    QTest::simulateEvent(m_surface, true, Qt::Key_Escape, Qt::NoModifier, QString(), true);
    keys("Ctrl+S");
    QTRY_COMPARE(m_results.size(), 1);
    QCOMPARE(m_results[0].first, EAction::Save);
    QCOMPARE(firstDifference(m_results[0].second, withText), -1);

    // Escape leaves with no picture, marks or not.
    show(QSize(500, 300), 1);
    drag({{220, 170}, {260, 200}});
    keys("Escape");
    QTRY_COMPARE(m_results.size(), 1);
    QCOMPARE(m_results[0].first, EAction::Cancel);
    QVERIFY(m_results[0].second.isNull());

    // Enter shares once: the second Enter finds the surface done. The next picture starts
    // afresh, with nothing to undo from the last one; its Save is the first thing emitted since.
    show(QSize(500, 300), 1);
    drag({{220, 170}, {260, 200}});
    keys("Return Return");
    QCOMPARE(m_results.size(), 1);
    QCOMPARE(m_results[0].first, EAction::Share);
    QVERIFY(firstDifference(m_results[0].second, m_original) != -1);
    m_surface->setPicture(m_original, m_topLeft);
    QCOMPARE(firstDifference(m_surface->picture(), m_original), -1);
    keys("Ctrl+Z Ctrl+S");
    QCOMPARE(m_results.size(), 2);
    QCOMPARE(m_results[1].first, EAction::Save);
    QCOMPARE(firstDifference(m_results[1].second, m_original), -1);
}

void TestMarkup::copyPutsThePngOnTheClipboard()
{
    show(QSize(400, 300), 1);
    drag({{250, 200}, {330, 240}});
    keys("Ctrl+C");
    QTRY_COMPARE(m_results.size(), 1);
    QCOMPARE(m_results[0].first, EAction::Copy);
    const QImage copied = m_results[0].second;

    const QByteArray targets =
        readOutput(QStringLiteral("xclip"), args("-selection clipboard -t TARGETS -o"));
    QVERIFY2(targets.split('\n').contains("image/png"), targets.constData());
    const QByteArray png = readOutput(QStringLiteral("xclip"), args("-selection clipboard -t image/png -o"));
    QVERIFY(png.startsWith("\x89PNG"));
    const QImage pasted = QImage::fromData(png, "PNG");
    QCOMPARE(pasted.size(), m_original.size());
    QCOMPARE(firstDifference(pasted, copied), -1);
    const QRect redacted = BL::Capture::rectFromCorners(pixel({250, 200}), pixel({330, 240}));
    QCOMPARE(pasted.pixel(redacted.topLeft()), paletteRgb(0));
    QCOMPARE(pasted.pixel(redacted.bottomRight()), paletteRgb(0));
    QCOMPARE(pasted.pixel(redacted.bottomRight() + QPoint(1, 1)),
             m_original.pixel(redacted.bottomRight() + QPoint(1, 1)));
}

QTEST_MAIN(TestMarkup)
#include "tst_markup.moc"
