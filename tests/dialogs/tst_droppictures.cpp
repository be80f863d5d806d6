// Dropped pictures by size: refused before decoding above the cap, decoded off the GUI thread
// when that takes a while.
#include "dialogs/dropacceptablewidget.h"
#include "droptestsupport.h"

#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <memory>

using BL::Test::kWrongData;
using BL::Test::pngBomb;
using BL::Test::SOutcome;

class TestDropPictures : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void init() { m_widget = std::make_unique<CDropAcceptableWidget>(); }

    void hugePictureIsRefusedBeforeDecoding();
    void bigPictureIsDecodedOffTheGuiThread();

private:
    SOutcome drop(QMimeData* mime) { return BL::Test::dropOnto(m_widget.get(), mime); }

    QTemporaryDir m_dir;
    std::unique_ptr<CDropAcceptableWidget> m_widget;
};

void TestDropPictures::hugePictureIsRefusedBeforeDecoding()
{
    const QString bomb = m_dir.filePath(QStringLiteral("bomb.png"));
    QFile file(bomb);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(pngBomb(20000));
    file.close();
    QVERIFY(file.size() < 1024 * 1024);
    QCOMPARE(QImageReader(bomb).size(), QSize(20000, 20000));

    auto* mime = new QMimeData;
    mime->setUrls({QUrl::fromLocalFile(bomb)});
    const SOutcome outcome = drop(mime);
    QCOMPARE(outcome.errors,
             QStringList{QStringLiteral("The dropped picture is too large (20000 x 20000 pixels)")});
    QVERIFY(outcome.pictures.isEmpty());
    QVERIFY(!outcome.dropAccepted);
}

// Under the cap but long to decode: the drop returns at once, the GUI thread keeps serving its
// events, and the picture follows; a file that fails to decode then still gets its balloon.
void TestDropPictures::bigPictureIsDecodedOffTheGuiThread()
{
    const int side = 4096;
    QVERIFY(qint64(side) * side > CDropAcceptableWidget::decodeInBackgroundPixels);
    QVERIFY(qint64(side) * side <= CDropAcceptableWidget::maxDroppedPixels);
    const QString big = m_dir.filePath(QStringLiteral("big.png"));
    QFile file(big);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(pngBomb(side));
    file.close();

    QSignalSpy pictures(m_widget.get(), &CDropAcceptableWidget::imageDropped);
    auto* mime = new QMimeData;
    mime->setUrls({QUrl::fromLocalFile(big)});
    const SOutcome outcome = drop(mime);
    QVERIFY(outcome.dropAccepted);
    QVERIFY(outcome.errors.isEmpty());
    QVERIFY(outcome.pictures.isEmpty()); // not decoded inside the drop
    QVERIFY(pictures.isEmpty());
    // An event posted after the drop is served before the picture arrives.
    int picturesWhenServed = -1;
    QTimer::singleShot(0, this, [&] { picturesWhenServed = pictures.size(); });
    QTRY_COMPARE_WITH_TIMEOUT(pictures.size(), 1, 60000);
    QCOMPARE(picturesWhenServed, 0);
    const QPixmap picture = pictures.at(0).at(0).value<QPixmap>();
    QCOMPARE(picture.size(), QSize(side, side));
    QCOMPARE(QColor(picture.toImage().pixel(side - 1, side - 1)), QColor(Qt::black));

    // Same size in the header, but the pixel data is cut short: the balloon comes later.
    QByteArray broken = pngBomb(side);
    broken.truncate(broken.size() / 2);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(broken);
    file.close();
    QSignalSpy errors(m_widget.get(), &CDropAcceptableWidget::errorOccured);
    auto* second = new QMimeData;
    second->setUrls({QUrl::fromLocalFile(big)});
    const SOutcome late = drop(second);
    QVERIFY(late.errors.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 60000);
    QCOMPARE(errors.at(0).at(0).toString(), kWrongData);
    QCOMPARE(pictures.size(), 1);
}

QTEST_MAIN(TestDropPictures)
#include "tst_droppictures.moc"
