// The overlay opens from a global shortcut, inside the handling of an X event, as in the program.
// Its first frame must be its only one: a second paint of the same widgets waits for the server
// to take in the first frame and makes a compositor draw the whole screen again, all while the
// program answers nothing.
#include "capture/cropscreen.h"
#include "capture/overlayhost.h"
#include "platform/globalshortcut.h"
#include "platform/singleapplication.h"
#include "x11session.h"

#include <QHash>
#include <QtTest>

class TestOverlayFrames : public QObject
{
    Q_OBJECT

private slots:
    void openingPaintsEachWidgetOnce();
};

namespace {

// Counts the paints of every widget below a window, and says when the event loop has gone past
// everything the first frame left queued: two low-priority events posted one after the other
// from that frame come after every update the frame's widgets asked for.
class CPaintCounter : public QObject
{
public:
    QHash<QObject*, int> paints;
    bool settled = false;

    void watch(QWidget* root)
    {
        root->installEventFilter(this);
        for (QWidget* child : root->findChildren<QWidget*>())
            child->installEventFilter(this);
    }

    // The widgets painted more than once, with their counts.
    QStringList paintedAgain() const
    {
        QStringList again;
        for (auto it = paints.cbegin(); it != paints.cend(); ++it)
            if (it.value() > 1)
                again << QStringLiteral("%1 %2x").arg(it.key()->objectName()).arg(it.value());
        return again;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && ++paints[watched] == 1 && !m_firstFramePainting) {
            m_firstFramePainting = true;
            QCoreApplication::postEvent(this, new QEvent(kFirstAfter), Qt::LowEventPriority);
        }
        return false;
    }

    void customEvent(QEvent* event) override
    {
        if (event->type() == kFirstAfter)
            QCoreApplication::postEvent(this, new QEvent(kSecondAfter), Qt::LowEventPriority);
        else if (event->type() == kSecondAfter)
            settled = true;
    }

private:
    static constexpr QEvent::Type kFirstAfter = QEvent::Type(QEvent::User + 1);
    static constexpr QEvent::Type kSecondAfter = QEvent::Type(QEvent::User + 2);
    bool m_firstFramePainting = false;
};

} // namespace

void TestOverlayFrames::openingPaintsEachWidgetOnce()
{
    // The bands and the crosshair are placed around the pointer: in the middle, all are painted.
    BL::Test::xdotool({QStringLiteral("mousemove"), QStringLiteral("640"), QStringLiteral("400")});

    QWidget host;
    auto* selector = new CCropScreen(&host, false);
    auto* overlays = new BL::Capture::COverlayHost(&host, {selector});
    CPaintCounter counter;
    counter.watch(&host);

    CGlobalShortcut shortcut(QKeySequence(QStringLiteral("Ctrl+Alt+O")));
    QVERIFY(shortcut.isRegistered());
    connect(&shortcut, &CGlobalShortcut::activated, overlays,
            [overlays, selector] { overlays->showOverlay(selector); });
    BL::Test::xdotool({QStringLiteral("key"), QStringLiteral("ctrl+alt+o")});

    QTRY_VERIFY(counter.settled);
    QVERIFY(selector->isVisible());
    QVERIFY2(counter.paints.size() > 2, "the first frame painted the overlay's widgets");
    QVERIFY2(counter.paintedAgain().isEmpty(), qPrintable(counter.paintedAgain().join(QStringLiteral(", "))));
    selector->cancelSelection(true);
    QTRY_VERIFY(!host.isVisible());
}

int main(int argc, char** argv)
{
    CSingleApplication app(argc, argv);
    TestOverlayFrames test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_overlayframes.moc"
