// The idle release of the dynamic linker's tables: the pages really leave the process, and
// everything that reads those tables later (a first call bound lazily, a symbol looked up by
// name, a library loaded afterwards, an exception) still works.
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
#include <unistd.h>

namespace {

// Resident KiB of the mappings at file offset 0 that are only readable, of the library whose
// path contains NAME. Read with plain system calls, so that measuring binds nothing new.
long long tableResidentKib(const char* name)
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
        char range[64], perms[8];
        unsigned long long offset = 0;
        if (std::sscanf(line, "%63s %7s %llx", range, perms, &offset) == 3 && std::strchr(range, '-'))
            inside = std::strstr(line, name) && std::strcmp(perms, "r--p") == 0 && offset == 0;
        else if (inside && std::strncmp(line, "Rss:", 4) == 0)
            kib += std::atoll(line + 4);
    }
    return kib;
}

} // namespace

class TestLoaderPages : public QObject
{
    Q_OBJECT

private slots:
    void tablesLeaveAndLookupsStillWork();
};

void TestLoaderPages::tablesLeaveAndLookupsStillWork()
{
    tableResidentKib("libQt5Core"); // binds what the measure itself calls
    const long long before = tableResidentKib("libQt5Core");
    QVERIFY2(before > 64, qPrintable(QString::number(before)));

    QVERIFY(BL::Platform::releaseLoaderPages() > before * 1024);
    const long long after = tableResidentKib("libQt5Core");
    QVERIFY2(after * 4 < before, qPrintable(QStringLiteral("%1 -> %2 KiB").arg(before).arg(after)));

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
}

QTEST_GUILESS_MAIN(TestLoaderPages)
#include "tst_loaderpages.moc"
