#include "api/pngencoder.h"
#include "app/backgroundfilewriter.h"
#include "platform/threadpriority.h"

#include <QDir>
#include <QPainter>
#include <QSet>
#include <QThread>
#include <QtConcurrent>
#include <QtTest>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

// Work nobody waits for runs while the person still waits for the overlay, the link or the next
// opening: its threads yield to that work. Only threads of its own may be lowered, since a
// lowered thread stays so.
class TestWorkerPriority : public QObject
{
    Q_OBJECT

private slots:
    void backgroundEncodingYieldsOnBothThreads();
    void fileWriterYields();
};

namespace {

constexpr int kLowered = 10;

int niceOf(qint64 tid)
{
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
}

int ownNice()
{
    return niceOf(::syscall(SYS_gettid));
}

// The process's live threads at the background priority.
QSet<qint64> loweredThreads()
{
    QSet<qint64> lowered;
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& task : tasks)
        if (niceOf(task.toLongLong()) >= kLowered)
            lowered << task.toLongLong();
    return lowered;
}

QImage desktopLike()
{
    QImage image(1920, 1080, QImage::Format_RGB32);
    QPainter p(&image);
    p.fillRect(image.rect(), QColor(40, 90, 160));
    p.fillRect(QRect(200, 150, 900, 600), QColor(245, 245, 242));
    for (int line = 0; line < 36; ++line)
        p.drawText(210, 170 + 16 * line, QStringLiteral("line %1 of a window's text").arg(line));
    return image;
}

} // namespace

void TestWorkerPriority::backgroundEncodingYieldsOnBothThreads()
{
    if (ownNice() >= kLowered)
        QSKIP("the test runs at a background priority already");
    const QImage image = desktopLike();
    const QByteArray expected = BL::Api::encodeFastPng(image, BL::Api::EPngThreads::One);
    QVERIFY(!expected.isEmpty());

    // A thread inherits its maker's priority: the shared pool gets one made at full priority,
    // as the program's first local shot gives it, before a lowered caller could make it one.
    QtConcurrent::run([] {}).waitForFinished();

    QByteArray png;
    BL::Api::SPngEncoding how;
    QSet<qint64> helpers;
    QSet<qint64> callers;
    // A second thread that has not started by the time the caller is done with its own band is
    // run by the caller: a few encodings make sure one was handed over.
    for (int attempt = 0; attempt < 10 && helpers.isEmpty(); ++attempt) {
        std::unique_ptr<QThread> caller(QThread::create([&] {
            callers << ::syscall(SYS_gettid);
            BL::Platform::lowerCurrentThreadPriority();
            png = BL::Api::encodeFastPng(image, BL::Api::EPngThreads::TwoInBackground, &how);
        }));
        caller->start();
        QVERIFY(caller->wait(60000));
        // A caller may linger a moment after it is done: any other lowered thread took a band.
        helpers = loweredThreads() - callers;
    }
    QCOMPARE(png, expected);
    QVERIFY(how.twoBands);
    QVERIFY2(!helpers.isEmpty(), "the second band was made at full priority");

    // The threads that everything else shares keep theirs.
    const QByteArray shared = BL::Api::encodeFastPng(image, BL::Api::EPngThreads::Two);
    QCOMPARE(shared, expected);
    QCOMPARE(QtConcurrent::run([] { return ownNice(); }).result(), ownNice());
    QCOMPARE(loweredThreads() - callers, helpers);
}

void TestWorkerPriority::fileWriterYields()
{
    if (ownNice() >= kLowered)
        QSKIP("the test runs at a background priority already");
    BL::App::CBackgroundFileWriter writer;
    int first = 0;
    int second = 0;
    writer.run([&first] { first = ownNice(); });
    writer.run([&second] { second = ownNice(); });
    writer.flush();
    QVERIFY(first >= kLowered);
    QVERIFY(second >= kLowered);
    QCOMPARE(QtConcurrent::run([] { return ownNice(); }).result(), ownNice());
}

QTEST_MAIN(TestWorkerPriority)
#include "tst_workerpriority_linux.moc"
