// Picture buffers kept for reuse between shots: a kept mapping must go to one owner at a time,
// never be smaller than asked for, and really go back to the system when released.
#include "platform/largebuffer.h"

#include <QFile>
#include <QtTest>
#include <cstring>

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

// Whether [start, start + 1) lies in a mapping of this process.
bool isMapped(const void* start)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    const auto address = reinterpret_cast<quintptr>(start);
    for (const QByteArray& line : maps.readAll().split('\n')) {
        const QList<QByteArray> range = line.split(' ').value(0).split('-');
        if (range.size() == 2 && range[0].toULongLong(nullptr, 16) <= address &&
            address < range[1].toULongLong(nullptr, 16))
            return true;
    }
    return false;
}

} // namespace

class TestLargeBuffer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void keptBuffersHaveOneOwnerAndRoomEnough();
    void releasedAndSurplusBuffersAreUnmapped();
};

void TestLargeBuffer::initTestCase()
{
    QFile setting(QStringLiteral("/sys/kernel/mm/transparent_hugepage/enabled"));
    if (!setting.open(QIODevice::ReadOnly) || setting.readAll().contains("[never]"))
        QSKIP("no huge pages on request here: buffers come from the heap and are never kept");
}

void TestLargeBuffer::cleanup()
{
    BL::Platform::setLargeBufferReuse(0);
}

void TestLargeBuffer::keptBuffersHaveOneOwnerAndRoomEnough()
{
    using BL::Platform::allocateLargeBuffer;
    BL::Platform::setLargeBufferReuse(2);
    std::uint8_t* first = nullptr;
    {
        const auto a = allocateLargeBuffer(6 * kMiB);
        QVERIFY(a);
        first = a.get();
    }
    auto b = allocateLargeBuffer(6 * kMiB - 100);
    QCOMPARE(b.get(), first); // kept, and handed out again
    auto c = allocateLargeBuffer(6 * kMiB);
    QVERIFY(c && c.get() != b.get());
    // Every byte asked for is there: a mapping too small would fault here.
    std::memset(b.get(), 1, 6 * kMiB - 100);
    std::memset(c.get(), 2, 6 * kMiB);
    QCOMPARE(b[0], std::uint8_t(1));
    std::uint8_t* const second = c.get();
    b.reset();
    c.reset();
    // Larger than anything kept: a mapping of its own.
    const auto d = allocateLargeBuffer(9 * kMiB);
    QVERIFY(d && d.get() != first);
    std::memset(d.get(), 3, 9 * kMiB);
    // Far smaller: it must not tie up a kept 6 MiB mapping.
    const auto e = allocateLargeBuffer(2 * kMiB);
    QVERIFY(e && e.get() != first);
    // Just as large, again: a kept one.
    const auto f = allocateLargeBuffer(5 * kMiB);
    QVERIFY(f.get() == first || f.get() == second);
}

void TestLargeBuffer::releasedAndSurplusBuffersAreUnmapped()
{
    using BL::Platform::allocateLargeBuffer;
    BL::Platform::setLargeBufferReuse(1);
    auto a = allocateLargeBuffer(4 * kMiB);
    auto b = allocateLargeBuffer(4 * kMiB);
    QVERIFY(a && b);
    std::uint8_t* const kept = a.get();
    std::uint8_t* const surplus = b.get();
    a.reset();
    b.reset(); // one over the limit
    QVERIFY(isMapped(kept));
    QVERIFY(!isMapped(surplus));
    BL::Platform::releaseLargeBuffers();
    QVERIFY(!isMapped(kept));
    // Reuse off: every buffer goes back as it is freed.
    BL::Platform::setLargeBufferReuse(0);
    auto c = allocateLargeBuffer(4 * kMiB);
    std::uint8_t* const single = c.get();
    c.reset();
    QVERIFY(!isMapped(single));
}

QTEST_GUILESS_MAIN(TestLargeBuffer)
#include "tst_largebuffer.moc"
