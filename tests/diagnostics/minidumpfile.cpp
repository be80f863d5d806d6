#include "minidumpfile.h"

#include <QFile>
#include <QtEndian>
#include <elf.h>

namespace BL::Test {

namespace {

template<typename T> T at(const QByteArray& data, qint64 offset, bool* ok)
{
    if (offset < 0 || offset + qint64(sizeof(T)) > data.size()) {
        *ok = false;
        return T();
    }
    return qFromLittleEndian<T>(data.constData() + offset);
}

QByteArray slice(const QByteArray& data, std::uint32_t rva, std::uint32_t size, bool* ok)
{
    if (qint64(rva) + size > data.size()) {
        *ok = false;
        return {};
    }
    return data.mid(int(rva), int(size));
}

QString dumpString(const QByteArray& data, std::uint32_t rva, bool* ok)
{
    const std::uint32_t bytes = at<std::uint32_t>(data, rva, ok);
    const QByteArray text = slice(data, rva + 4, bytes, ok);
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(text.constData()), text.size() / 2);
}

} // namespace

std::uint64_t SDumpThread::rip() const
{
    return context.size() >= 256 ? qFromLittleEndian<std::uint64_t>(context.constData() + 248) : 0;
}

std::uint64_t SDumpThread::rsp() const
{
    return context.size() >= 256 ? qFromLittleEndian<std::uint64_t>(context.constData() + 120 + 4 * 8) : 0;
}

SMinidump readMinidump(const QByteArray& d)
{
    SMinidump dump;
    bool ok = true;
    if (at<std::uint32_t>(d, 0, &ok) != 0x504d444d || (at<std::uint32_t>(d, 4, &ok) & 0xffff) != 0xa793) {
        dump.error = QStringLiteral("no MDMP header");
        return dump;
    }
    const std::uint32_t streams = at<std::uint32_t>(d, 8, &ok);
    const std::uint32_t directory = at<std::uint32_t>(d, 12, &ok);
    for (std::uint32_t i = 0; i < streams && ok; ++i) {
        const std::uint32_t entry = directory + 12 * i;
        const std::uint32_t type = at<std::uint32_t>(d, entry, &ok);
        const std::uint32_t rva = at<std::uint32_t>(d, entry + 8, &ok);
        switch (type) {
        case 3: { // threads
            const std::uint32_t count = at<std::uint32_t>(d, rva, &ok);
            for (std::uint32_t t = 0; t < count && ok; ++t) {
                const std::uint32_t e = rva + 4 + 48 * t;
                SDumpThread thread;
                thread.tid = at<std::uint32_t>(d, e, &ok);
                thread.stackStart = at<std::uint64_t>(d, e + 24, &ok);
                thread.stack =
                    slice(d, at<std::uint32_t>(d, e + 36, &ok), at<std::uint32_t>(d, e + 32, &ok), &ok);
                thread.context =
                    slice(d, at<std::uint32_t>(d, e + 44, &ok), at<std::uint32_t>(d, e + 40, &ok), &ok);
                dump.threads << thread;
            }
            break;
        }
        case 4: { // modules
            const std::uint32_t count = at<std::uint32_t>(d, rva, &ok);
            for (std::uint32_t m = 0; m < count && ok; ++m) {
                const std::uint32_t e = rva + 4 + 108 * m;
                SDumpModule module;
                module.base = at<std::uint64_t>(d, e, &ok);
                module.size = at<std::uint32_t>(d, e + 8, &ok);
                module.name = dumpString(d, at<std::uint32_t>(d, e + 20, &ok), &ok);
                const QByteArray cv =
                    slice(d, at<std::uint32_t>(d, e + 80, &ok), at<std::uint32_t>(d, e + 76, &ok), &ok);
                if (cv.size() > 4 && qFromLittleEndian<std::uint32_t>(cv.constData()) == 0x4c457042)
                    module.buildId = cv.mid(4);
                dump.modules << module;
            }
            break;
        }
        case 5:
            dump.memoryRanges = int(at<std::uint32_t>(d, rva, &ok));
            break;
        case 6: // exception
            dump.crashTid = at<std::uint32_t>(d, rva, &ok);
            dump.signal = at<std::uint32_t>(d, rva + 8, &ok);
            dump.faultAddress = at<std::uint64_t>(d, rva + 24, &ok);
            dump.crashContext =
                slice(d, at<std::uint32_t>(d, rva + 164, &ok), at<std::uint32_t>(d, rva + 160, &ok), &ok);
            break;
        case 7: // system info
            dump.cpu = at<std::uint16_t>(d, rva, &ok);
            dump.platform = at<std::uint32_t>(d, rva + 20, &ok);
            break;
        case 15: // misc info, with the process id when flag 1 is set
            if (at<std::uint32_t>(d, rva + 4, &ok) & 1)
                dump.processId = at<std::uint32_t>(d, rva + 8, &ok);
            break;
        default:
            break;
        }
    }
    dump.valid = ok;
    if (!ok)
        dump.error = QStringLiteral("a stream points outside the file");
    return dump;
}

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

bool elfSymbol(const QString& elfPath, const QByteArray& name, std::uint64_t* start, std::uint64_t* end,
               std::uint64_t* firstLoad)
{
    const QByteArray elf = readFile(elfPath);
    if (elf.size() < int(sizeof(Elf64_Ehdr)))
        return false;
    Elf64_Ehdr header;
    memcpy(&header, elf.constData(), sizeof header);
    *firstLoad = UINT64_MAX;
    for (int i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr ph;
        memcpy(&ph, elf.constData() + header.e_phoff + i * sizeof ph, sizeof ph);
        if (ph.p_type == PT_LOAD)
            *firstLoad = std::min<std::uint64_t>(*firstLoad, ph.p_vaddr & ~(ph.p_align - 1));
    }
    for (int i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr sh;
        memcpy(&sh, elf.constData() + header.e_shoff + i * sizeof sh, sizeof sh);
        if (sh.sh_type != SHT_SYMTAB)
            continue;
        Elf64_Shdr strings;
        memcpy(&strings, elf.constData() + header.e_shoff + sh.sh_link * sizeof strings, sizeof strings);
        for (std::uint64_t s = 0; s < sh.sh_size / sizeof(Elf64_Sym); ++s) {
            Elf64_Sym sym;
            memcpy(&sym, elf.constData() + sh.sh_offset + s * sizeof sym, sizeof sym);
            if (name == QByteArray(elf.constData() + strings.sh_offset + sym.st_name)) {
                *start = sym.st_value;
                *end = sym.st_value + sym.st_size;
                return true;
            }
        }
    }
    return false;
}

QByteArray elfBuildId(const QString& elfPath)
{
    const QByteArray elf = readFile(elfPath);
    // A note is namesz (4), descsz, type (3: build ID), then the name "GNU\0" and the ID.
    for (int note = elf.indexOf(QByteArray("GNU\0", 4)); note >= 12;
         note = elf.indexOf(QByteArray("GNU\0", 4), note + 4))
        if (qFromLittleEndian<std::uint32_t>(elf.constData() + note - 12) == 4 &&
            qFromLittleEndian<std::uint32_t>(elf.constData() + note - 4) == NT_GNU_BUILD_ID)
            return elf.mid(note + 4, int(qFromLittleEndian<std::uint32_t>(elf.constData() + note - 8)));
    return {};
}

} // namespace BL::Test
