#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace BL::Server {

// The function symbols of one ELF file, for naming addresses given as offsets from the
// module's load base.
class CElfSymbols
{
public:
    // Reads .symtab (or .dynsym when stripped); false when the file is no usable ELF file or
    // its build ID is not `buildId` (raw bytes; empty accepts any).
    bool load(const std::string& path, const std::string& buildId);
    // "name+0xN" for an offset inside a known function, else empty.
    std::string nameAt(std::uint64_t moduleOffset) const;

private:
    struct SSymbol
    {
        std::uint64_t start;
        std::uint64_t size;
        std::string name;
    };
    std::vector<SSymbol> m_symbols; // sorted by start
    std::uint64_t m_firstLoad = 0;
};

} // namespace BL::Server
