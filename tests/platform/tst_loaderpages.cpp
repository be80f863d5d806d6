// The idle release of the libraries' pages that are never written (code, constants, the dynamic
// linker's tables): the pages really leave the process, and everything that needs them later (a
// first call bound lazily, a symbol looked up by name, a library loaded afterwards, an exception,
// a virtual call through a relocated table) still works.
#include "platform/processtuning.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QtTest>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// KiB under FIELD (resident by default) of the mappings with permissions PERMS (any when null; at
// file offset 0 only when HEAD), of the library whose path contains NAME. Read with plain system
// calls, so that measuring binds nothing new.
long long residentKib(const char* name, const char* perms, bool head, const char* field = "Rss:")
{
    static char text[1 << 20];
    const int fd = ::open("/proc/self/smaps", O_RDONLY | O_CLOEXEC);
    long long length = 0;
    for (ssize_t got = 0; fd >= 0 && (got = ::read(fd, text + length, sizeof text - 1 - length)) > 0;)
        length += got;
    if (fd >= 0)
        ::close(fd);
    text[length] = '\0';
    long long kib = 0;
    bool inside = false;
    for (char* line = std::strtok(text, "\n"); line; line = std::strtok(nullptr, "\n")) {
        char range[64], mode[8];
        unsigned long long offset = 0;
        if (std::sscanf(line, "%63s %7s %llx", range, mode, &offset) == 3 && std::strchr(range, '-'))
            inside = std::strstr(line, name) && (!perms || std::strcmp(mode, perms) == 0) &&
                     (!head || offset == 0);
        else if (inside && std::strncmp(line, field, std::strlen(field)) == 0)
            kib += std::atoll(line + std::strlen(field));
    }
    return kib;
}

} // namespace

class TestLoaderPages : public QObject
{
    Q_OBJECT

private slots:
    void readOnlyPagesLeaveAndEverythingStillWorks();
    void mappedFilePagesLeaveAndPrivateCopiesStay();
    void onlyFilesMappedSinceLeave();
};

void TestLoaderPages::readOnlyPagesLeaveAndEverythingStillWorks()
{
    residentKib("libQt5Core", "r--p", true); // binds what the measure itself calls
    const long long tables = residentKib("libQt5Core", "r--p", true);
    const long long code = residentKib("libQt5Core", "r-xp", false);
    const long long relocated = residentKib("libQt5Core", nullptr, false, "Anonymous:");
    QVERIFY2(tables > 64 && code > 64, qPrintable(QStringLiteral("%1, %2 KiB").arg(tables).arg(code)));

    QVERIFY(BL::Platform::releaseLibraryPages() > (tables + code) * 1024);
    const long long tablesAfter = residentKib("libQt5Core", "r--p", true);
    const long long codeAfter = residentKib("libQt5Core", "r-xp", false);
    QVERIFY2(tablesAfter * 4 < tables,
             qPrintable(QStringLiteral("%1 -> %2 KiB").arg(tables).arg(tablesAfter)));
    // Only what this function ran since comes back.
    QVERIFY2(codeAfter * 4 < code, qPrintable(QStringLiteral("%1 -> %2 KiB").arg(code).arg(codeAfter)));
    // Written pages are never dropped: they would come back as the file has them, unrelocated.
    QVERIFY(relocated > 0);
    QCOMPARE(residentKib("libQt5Core", nullptr, false, "Anonymous:"), relocated);

    // A lookup by name reads the tables again from the page cache.
    QCOMPARE(::dlsym(RTLD_DEFAULT, "qVersion"), reinterpret_cast<void*>(&qVersion));
    QCOMPARE(QString::fromLatin1(qVersion()), QStringLiteral(QT_VERSION_STR));
    // Unwinding uses its own tables, which stay.
    bool caught = false;
    try {
        throw std::runtime_error("unwound");
    } catch (const std::runtime_error& error) {
        caught = std::string(error.what()) == "unwound";
    }
    QVERIFY(caught);
    // A plugin loaded now is relocated against the released libraries and runs.
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(QColor(200, 40, 90));
    QBuffer bytes;
    bytes.open(QIODevice::ReadWrite);
    QImageWriter writer(&bytes, "jpeg");
    QVERIFY2(writer.write(picture), qPrintable(writer.errorString()));
    bytes.seek(0);
    QImageReader reader(&bytes, "jpeg");
    const QImage decoded = reader.read();
    QCOMPARE(decoded.size(), picture.size());
    const QColor middle = decoded.pixelColor(32, 24);
    QVERIFY(qAbs(middle.red() - 200) < 8 && qAbs(middle.green() - 40) < 8 && qAbs(middle.blue() - 90) < 8);
    // Virtual calls across libraries go through tables the linker relocated: a dropped copy
    // would send them to addresses that are file offsets.
    QObject* device = &bytes;
    QCOMPARE(qobject_cast<QIODevice*>(device), static_cast<QIODevice*>(&bytes));
    QCOMPARE(device->metaObject()->className(), "QBuffer");
}

// Fonts, the locale's tables and caches are files mapped read-only, touched by a shot's text.
void TestLoaderPages::mappedFilePagesLeaveAndPrivateCopiesStay()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    constexpr size_t kSize = 64 * 4096;
    QByteArray content(kSize, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 + i / 4096);
    const auto mapFile = [&](const char* name, int protection) -> char* {
        QFile file(dir.filePath(QString::fromLatin1(name)));
        if (!file.open(QIODevice::ReadWrite) || file.write(content) != content.size() || !file.flush())
            return nullptr;
        void* at = ::mmap(nullptr, kSize, protection, MAP_PRIVATE, file.handle(), 0);
        return at == MAP_FAILED ? nullptr : static_cast<char*>(at);
    };
    char* font = mapFile("font.ttf", PROT_READ);
    // Written once and protected, as relocated tables are: its pages are copies of its own now.
    char* copied = mapFile("patched.bin", PROT_READ | PROT_WRITE);
    QVERIFY(font && copied);
    long long sum = 0;
    for (size_t i = 0; i < kSize; i += 4096)
        sum += font[i];
    copied[4096] = 'X';
    QVERIFY(::mprotect(copied, kSize, PROT_READ) == 0);
    QVERIFY(sum != 0);
    QVERIFY2(residentKib("font.ttf", "r--p", false) >= 256,
             qPrintable(QString::number(residentKib("font.ttf", "r--p", false))));

    QVERIFY(BL::Platform::releaseMappedFilePages() >= static_cast<long long>(kSize));
    QCOMPARE(residentKib("font.ttf", "r--p", false), 0);
    // The file's pages come back as the file has them.
    QVERIFY(std::memcmp(font, content.constData(), kSize) == 0);
    // A mapping holding a copy keeps it: dropped, the write would be lost.
    QVERIFY(residentKib("patched.bin", "r--p", false, "Anonymous:") > 0);
    QCOMPARE(copied[4096], 'X');
    QVERIFY(std::memcmp(copied + 8192, content.constData() + 8192, kSize - 8192) == 0);
    ::munmap(font, kSize);
    ::munmap(copied, kSize);
}

// What a load brings in (the text engine's data) goes again; of a file there before, the part
// past its first page stays, as a library's own pages do.
void TestLoaderPages::onlyFilesMappedSinceLeave()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    constexpr size_t kSize = 16 * 4096;
    const QByteArray content(2 * kSize, 'k');
    const auto mapFile = [&](const char* name, off_t offset) -> const char* {
        QFile file(dir.filePath(QString::fromLatin1(name)));
        if (!file.open(QIODevice::ReadWrite) || file.write(content) != content.size() || !file.flush())
            return nullptr;
        void* at = ::mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE, file.handle(), offset);
        if (at == MAP_FAILED)
            return nullptr;
        long long sum = 0;
        for (size_t i = 0; i < kSize; i += 4096)
            sum += static_cast<const char*>(at)[i];
        return sum > 0 ? static_cast<const char*>(at) : nullptr;
    };
    const char* earlier = mapFile("earlier.dat", kSize);
    QVERIFY(earlier);
    const QStringList before = BL::Platform::mappedFiles();
    QVERIFY(before.contains(dir.filePath(QStringLiteral("earlier.dat"))));
    const char* loaded = mapFile("loaded.dat", 0);
    QVERIFY(loaded);
    QVERIFY(residentKib("loaded.dat", "r--p", false) >= 64);

    BL::Platform::dropPagesOfFilesMappedSince(before);
    QCOMPARE(residentKib("loaded.dat", "r--p", false), 0);
    QVERIFY(residentKib("earlier.dat", "r--p", false) >= 64);
    QVERIFY(std::memcmp(loaded, content.constData(), kSize) == 0);
    ::munmap(const_cast<char*>(earlier), kSize);
    ::munmap(const_cast<char*>(loaded), kSize);
}

QTEST_GUILESS_MAIN(TestLoaderPages)
#include "tst_loaderpages.moc"
