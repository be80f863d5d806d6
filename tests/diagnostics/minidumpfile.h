#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstdint>

// A small reader of minidump files for the tests: only what they check, read field by field
// at the offsets of the format, independent of the writer.
namespace BL::Test {

struct SDumpThread
{
    std::uint32_t tid = 0;
    std::uint64_t stackStart = 0;
    QByteArray stack;
    QByteArray context; // CONTEXT_AMD64
    std::uint64_t rip() const;
    std::uint64_t rsp() const;
};

struct SDumpModule
{
    std::uint64_t base = 0;
    std::uint32_t size = 0;
    QString name;
    QByteArray buildId; // from an ELF ("BpEL") CodeView record
};

struct SMinidump
{
    bool valid = false;
    QString error;
    std::uint16_t cpu = 0;
    std::uint32_t platform = 0;
    std::uint32_t processId = 0;
    std::uint32_t crashTid = 0;
    std::uint32_t signal = 0;
    std::uint64_t faultAddress = 0;
    QByteArray crashContext;
    QVector<SDumpThread> threads;
    QVector<SDumpModule> modules;
    int memoryRanges = 0;
};

SMinidump readMinidump(const QByteArray& file);

// A function's [start, end) as link-time addresses from an ELF file's symbol table, and the
// link-time address at which its first loaded segment starts.
bool elfSymbol(const QString& elfPath, const QByteArray& name, std::uint64_t* start, std::uint64_t* end,
               std::uint64_t* firstLoad);
QByteArray elfBuildId(const QString& elfPath);

} // namespace BL::Test
