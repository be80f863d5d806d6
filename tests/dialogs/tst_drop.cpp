// The drop widget's reading of drops, fed with real mime data and real drop events: the Windows
// shell formats and the ones X11 file managers and browsers offer.
#include "dialogs/dropacceptablewidget.h"
#include "dialogs/dropdata.h"
#include "droptestsupport.h"
#include "resources/resources.h"

#include <QDataStream>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QImage>
#include <QImageReader>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using BL::Dialogs::decodeUtf16;
using BL::Test::kWrongData;
using BL::Test::SOutcome;

namespace {

const QString kFileNameW = QStringLiteral("FileNameW");
const QString kUrlW = QStringLiteral("UniformResourceLocatorW");

// Zero-terminated UTF-16LE, as the Windows shell puts a name into a drop.
QByteArray utf16z(const QString& text)
{
    QByteArray bytes;
    for (const QChar c : text) {
        bytes.append(char(c.unicode() & 0xff));
        bytes.append(char(c.unicode() >> 8));
    }
    bytes.append(2, '\0');
    return bytes;
}

} // namespace

class TestDrop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void appearance();
    void pictureFiles_data();
    void pictureFiles();
    void filesThatAreNotPictures_data();
    void filesThatAreNotPictures();
    void links_data();
    void links();
    void neitherFileNorLink_data();
    void neitherFileNorLink();
    void utf16IsReadWithinItsBounds();
    void fifoIsNeverOpened();
    void storedPlaceOffEveryScreenComesBack_data();
    void storedPlaceOffEveryScreenComesBack();
    void cursorAndDragging();

private:
    SOutcome drop(QMimeData* mime);

    QTemporaryDir m_dir;
    QString m_png;
    QString m_text;
    QImage m_image;
    std::unique_ptr<CDropAcceptableWidget> m_widget;
};

void TestDrop::initTestCase()
{
    BL::Resources::registerResources();
    QVERIFY(m_dir.isValid());
    m_image = QImage(17, 11, QImage::Format_RGB32);
    m_image.fill(QColor(10, 200, 30));
    QPainter(&m_image).fillRect(0, 0, 5, 5, QColor(250, 0, 120));
    m_png = m_dir.filePath(QStringLiteral("shot with space.png"));
    QVERIFY(m_image.save(m_png, "PNG"));
    m_text = m_dir.filePath(QStringLiteral("notes.txt"));
    QFile text(m_text);
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("not a picture\n");
}

void TestDrop::init()
{
    m_widget = std::make_unique<CDropAcceptableWidget>();
}

SOutcome TestDrop::drop(QMimeData* mime)
{
    return BL::Test::dropOnto(m_widget.get(), mime);
}

void TestDrop::appearance()
{
    const Qt::WindowFlags flags = m_widget->windowFlags();
    QVERIFY(m_widget->isWindow());
    QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool);
    QVERIFY(m_widget->acceptDrops());
    QVERIFY(m_widget->testAttribute(Qt::WA_Hover));
    QCOMPARE(m_widget->minimumSize(), QSize(60, 60));
    QCOMPARE(m_widget->maximumSize(), QSize(60, 60));

    // What is painted is the compiled-in picture, pixel for pixel where the picture is opaque.
    const QImage expected = QImage(QStringLiteral(":drop_widget.png")).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(expected.size(), QSize(60, 60));
    const QImage painted = m_widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(painted.size(), expected.size());
    int opaque = 0;
    for (int y = 0; y < 60; ++y) {
        for (int x = 0; x < 60; ++x) {
            const QRgb want = expected.pixel(x, y);
            if (qAlpha(want) == 255) {
                ++opaque;
                QCOMPARE(QColor(painted.pixel(x, y)), QColor(want));
            }
        }
    }
    QVERIFY(opaque > 60 * 60 / 2);
}

void TestDrop::pictureFiles_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QByteArray>("data");
    const QString png = m_dir.filePath(QStringLiteral("shot with space.png"));
    QTest::newRow("FileNameW") << kFileNameW << utf16z(png);
    QTest::newRow("FileNameW wrapped")
        << QStringLiteral("application/x-qt-windows-mime;value=\"FileNameW\"") << utf16z(png);
    QTest::newRow("uri-list") << QStringLiteral("text/uri-list")
                              << (QUrl::fromLocalFile(png).toEncoded() + "\r\n");
    QTest::newRow("uri-list, web link second")
        << QStringLiteral("text/uri-list")
        << (QUrl::fromLocalFile(png).toEncoded() + "\r\nhttps://example.org/a.png\r\n");
}

void TestDrop::pictureFiles()
{
    QFETCH(QString, format);
    QFETCH(QByteArray, data);
    auto* mime = new QMimeData;
    mime->setData(format, data);
    mime->setData(kUrlW, utf16z(QStringLiteral("https://example.org/not-this.png")));

    const SOutcome outcome = drop(mime);
    QVERIFY(outcome.enterAccepted);
    QCOMPARE(outcome.errors, QStringList());
    QCOMPARE(outcome.urls, QList<QUrl>());
    QCOMPARE(outcome.pictures.size(), 1);
    QCOMPARE(outcome.pictures.at(0).toImage().convertToFormat(QImage::Format_RGB32), m_image);
    QVERIFY(outcome.dropAccepted);
}

void TestDrop::filesThatAreNotPictures_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QByteArray>("data");
    const QString text = m_dir.filePath(QStringLiteral("notes.txt"));
    QTest::newRow("FileNameW") << kFileNameW << utf16z(text);
    QTest::newRow("uri-list") << QStringLiteral("text/uri-list")
                              << (QUrl::fromLocalFile(text).toEncoded() + "\r\n");
    QTest::newRow("directory") << kFileNameW << utf16z(m_dir.path());
}

// An existing file that does not load is an error even when a link comes with it.
void TestDrop::filesThatAreNotPictures()
{
    QFETCH(QString, format);
    QFETCH(QByteArray, data);
    auto* mime = new QMimeData;
    mime->setData(format, data);
    mime->setData(kUrlW, utf16z(QStringLiteral("https://example.org/a.png")));

    const SOutcome outcome = drop(mime);
    QVERIFY(outcome.enterAccepted);
    QCOMPARE(outcome.errors, QStringList{kWrongData});
    QVERIFY(outcome.pictures.isEmpty());
    QVERIFY(outcome.urls.isEmpty());
    QVERIFY(!outcome.dropAccepted);
}

void TestDrop::links_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QUrl>("expected");
    const QString missing = m_dir.filePath(QStringLiteral("gone.png"));
    const QUrl link(QStringLiteral("https://example.org/pics/cat.png?a=1&b=2+3"));

    QTest::newRow("UniformResourceLocatorW") << kUrlW << utf16z(link.toString()) << link;
    QTest::newRow("uri-list http") << QStringLiteral("text/uri-list")
                                   << QByteArray("# dragged from a browser\r\nhttp://example.org/x.jpg\r\n")
                                   << QUrl(QStringLiteral("http://example.org/x.jpg"));
    QTest::newRow("uri-list missing file, then link")
        << QStringLiteral("text/uri-list")
        << (QUrl::fromLocalFile(missing).toEncoded() + "\r\n" + link.toEncoded() + "\r\n") << link;
    QString moz = link.toString() + QStringLiteral("\nA cat");
    QTest::newRow("x-moz-url") << QStringLiteral("text/x-moz-url")
                               << QByteArray(reinterpret_cast<const char*>(moz.utf16()), moz.size() * 2)
                               << link;
    QTest::newRow("plain text") << QStringLiteral("text/plain") << QByteArray("  https://example.org/d.png\n")
                                << QUrl(QStringLiteral("https://example.org/d.png"));
}

void TestDrop::links()
{
    QFETCH(QString, format);
    QFETCH(QByteArray, data);
    QFETCH(QUrl, expected);
    auto* mime = new QMimeData;
    mime->setData(format, data);
    // A file name of a file that no longer exists must not stop the link.
    mime->setData(kFileNameW, utf16z(m_dir.filePath(QStringLiteral("gone.png"))));

    const SOutcome outcome = drop(mime);
    QVERIFY(outcome.enterAccepted);
    QCOMPARE(outcome.errors, QStringList());
    QVERIFY(outcome.pictures.isEmpty());
    QCOMPARE(outcome.urls, QList<QUrl>{expected});
    QCOMPARE(outcome.urls.at(0).query(QUrl::FullyEncoded), expected.query(QUrl::FullyEncoded));
    QVERIFY(outcome.dropAccepted);
}

void TestDrop::neitherFileNorLink_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("nothing") << QStringLiteral("application/x-nothing") << QByteArray();
    QTest::newRow("selected prose") << QStringLiteral("text/plain")
                                    << QByteArray("hello world, see example.org");
    QTest::newRow("one word") << QStringLiteral("text/plain") << QByteArray("hello");
    QTest::newRow("ftp in uri-list") << QStringLiteral("text/uri-list")
                                     << QByteArray("ftp://example.org/a.png\r\n");
    QTest::newRow("missing file only") << kFileNameW << utf16z(QStringLiteral("/nonexistent/dir/a.png"));
    QTest::newRow("empty FileNameW") << kFileNameW << QByteArray(2, '\0');
    QTest::newRow("image bytes") << QStringLiteral("image/png") << QByteArray("\x89PNG\r\n", 6);
    QTest::newRow("local file as UniformResourceLocatorW")
        << kUrlW << utf16z(QStringLiteral("file:///etc/passwd"));
    QTest::newRow("script as UniformResourceLocatorW")
        << kUrlW << utf16z(QStringLiteral("javascript:alert(1)"));
}

void TestDrop::neitherFileNorLink()
{
    QFETCH(QString, format);
    QFETCH(QByteArray, data);
    auto* mime = new QMimeData;
    mime->setData(format, data);

    const SOutcome outcome = drop(mime);
    QVERIFY(outcome.enterAccepted);
    QCOMPARE(outcome.errors, QStringList{kWrongData});
    QVERIFY(outcome.pictures.isEmpty());
    QVERIFY(outcome.urls.isEmpty());
    QVERIFY(!outcome.dropAccepted);
}

void TestDrop::utf16IsReadWithinItsBounds()
{
    // No terminator, and a dangling odd byte: read to the end, no further.
    QCOMPARE(decodeUtf16(QByteArray("a\0b\0c", 5)), QStringLiteral("ab"));
    // The first NUL ends the text; what follows it is not part of the name.
    QCOMPARE(decodeUtf16(QByteArray("x\0\0\0y\0", 6)), QStringLiteral("x"));
    QCOMPARE(decodeUtf16(QByteArray("\xfe\xff\0h\0i", 6)), QStringLiteral("hi"));
    QCOMPARE(decodeUtf16(QByteArray("\xff\xfeh\0\xe9\0", 6)), QStringLiteral("h\u00e9"));
    QCOMPARE(decodeUtf16(QByteArray("\x01", 1)), QString());
}

// Synthetic pointer events; the X server run drags the real window.
void TestDrop::cursorAndDragging()
{
    CDropAcceptableWidget& w = *m_widget;
    w.move(100, 100);
    QEvent enter(QEvent::Enter);
    QCoreApplication::sendEvent(&w, &enter);
    QCOMPARE(w.cursor().shape(), Qt::SizeAllCursor);

    auto send = [&w](QEvent::Type type, QPoint global, Qt::MouseButtons buttons) {
        QMouseEvent event(type, global - w.pos(), global, Qt::LeftButton, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(&w, &event);
    };
    send(QEvent::MouseButtonPress, {120, 120}, Qt::LeftButton);
    send(QEvent::MouseMove, {125, 130}, Qt::LeftButton);
    QCOMPARE(w.pos(), QPoint(105, 110));
    send(QEvent::MouseMove, {145, 140}, Qt::LeftButton);
    QCOMPARE(w.pos(), QPoint(125, 120));
    send(QEvent::MouseButtonRelease, {145, 140}, Qt::NoButton);

    // The pointer wanders inside the window with no button held (no events), then drags again.
    send(QEvent::MouseButtonPress, {170, 170}, Qt::LeftButton);
    send(QEvent::MouseMove, {171, 172}, Qt::LeftButton);
    QCOMPARE(w.pos(), QPoint(126, 122));
    send(QEvent::MouseButtonRelease, {171, 172}, Qt::NoButton);

    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&w, &leave);
    QCOMPARE(w.cursor().shape(), Qt::ArrowCursor);
}

void TestDrop::storedPlaceOffEveryScreenComesBack_data()
{
    QTest::addColumn<QPoint>("stored");
    QTest::addColumn<QPoint>("expected");
    // A primary at the origin and a second monitor left of it, a little lower.
    QTest::newRow("on the primary") << QPoint(500, 500) << QPoint(500, 500);
    QTest::newRow("on the left monitor") << QPoint(-1000, 300) << QPoint(-1000, 300);
    QTest::newRow("on an unplugged right monitor") << QPoint(2500, 400) << QPoint(1860, 400);
    QTest::newRow("above the left monitor") << QPoint(-900, -900) << QPoint(-900, 200);
    QTest::newRow("across an edge") << QPoint(1900, 1060) << QPoint(1860, 1020);
}

void TestDrop::storedPlaceOffEveryScreenComesBack()
{
    QFETCH(QPoint, stored);
    QFETCH(QPoint, expected);
    const QList<QRect> screens{QRect(0, 0, 1920, 1080), QRect(-1280, 200, 1280, 1024)};
    QCOMPARE(CDropAcceptableWidget::onNearestScreen(stored, QSize(60, 60), screens), expected);
}

void TestDrop::fifoIsNeverOpened()
{
    const QString fifo = m_dir.filePath(QStringLiteral("pipe.png"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    // A writer that opens without blocking succeeds only while a reader holds the pipe open: the
    // watcher notices a reader and frees it, so a faulty widget fails this test instead of hanging it.
    std::atomic<bool> stop{false};
    std::atomic<bool> readerSeen{false};
    std::thread watcher([&] {
        while (!stop) {
            const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                readerSeen = true;
                ::close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    auto* mime = new QMimeData;
    mime->setUrls({QUrl::fromLocalFile(fifo)});
    const SOutcome outcome = drop(mime);
    stop = true;
    watcher.join();
    QVERIFY(!readerSeen);
    QCOMPARE(outcome.errors, QStringList{kWrongData});
    QVERIFY(outcome.pictures.isEmpty());
    QVERIFY(!outcome.dropAccepted);
}

QTEST_MAIN(TestDrop)
#include "tst_drop.moc"
