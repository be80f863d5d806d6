#include "server/elf_symbols.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <elf.h>
#include <fstream>
#include <iterator>

namespace BL::Server {

namespace {

template<typename T> bool readAt(const std::string& file, std::uint64_t offset, T* out)
{
    if (offset > file.size() || file.size() - offset < sizeof(T))
        return false;
    std::memcpy(out, file.data() + offset, sizeof(T));
    return true;
}

std::string buildIdOf(const std::string& file, const Elf64_Ehdr& header)
{
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        if (!readAt(file, header.e_shoff + std::uint64_t(i) * sizeof section, &section) ||
            section.sh_type != SHT_NOTE)
            continue;
        std::uint64_t at = section.sh_offset;
        const std::uint64_t end = std::min<std::uint64_t>(section.sh_offset + section.sh_size, file.size());
        Elf64_Nhdr note;
        while (at + sizeof note <= end && readAt(file, at, &note)) {
            const std::uint64_t name = at + sizeof note;
            const std::uint64_t desc = name + ((note.n_namesz + 3ull) & ~3ull);
            const std::uint64_t next = desc + ((note.n_descsz + 3ull) & ~3ull);
            if (next > end)
                break;
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
                file.compare(name, 4, "GNU\0", 4) == 0)
                return file.substr(desc, note.n_descsz);
            at = next;
        }
    }
    return {};
}

} // namespace

bool CElfSymbols::load(const std::string& path, const std::string& buildId)
{
    m_symbols.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Elf64_Ehdr header;
    if (!readAt(file, 0, &header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr))
        return false;
    if (!buildId.empty() && buildIdOf(file, header) != buildId)
        return false;
    m_firstLoad = UINT64_MAX;
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr ph;
        if (readAt(file, header.e_phoff + std::uint64_t(i) * sizeof ph, &ph) && ph.p_type == PT_LOAD)
            m_firstLoad =
                std::min<std::uint64_t>(m_firstLoad, ph.p_vaddr & ~(ph.p_align ? ph.p_align - 1 : 0));
    }
    if (m_firstLoad == UINT64_MAX)
        m_firstLoad = 0;
    for (const unsigned wanted : {unsigned(SHT_SYMTAB), unsigned(SHT_DYNSYM)}) {
        for (unsigned i = 0; i < header.e_shnum && m_symbols.empty(); ++i) {
            Elf64_Shdr section, strings;
            if (!readAt(file, header.e_shoff + std::uint64_t(i) * sizeof section, &section) ||
                section.sh_type != wanted ||
                !readAt(file, header.e_shoff + std::uint64_t(section.sh_link) * sizeof strings, &strings))
                continue;
            for (std::uint64_t s = 0; s < section.sh_size / sizeof(Elf64_Sym); ++s) {
                Elf64_Sym sym;
                if (!readAt(file, section.sh_offset + s * sizeof sym, &sym))
                    break;
                if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_value == 0 ||
                    sym.st_name >= strings.sh_size)
                    continue;
                const std::uint64_t nameAt = strings.sh_offset + sym.st_name;
                if (nameAt >= file.size())
                    continue;
                const std::size_t length = ::strnlen(file.data() + nameAt, file.size() - nameAt);
                m_symbols.push_back({sym.st_value, sym.st_size, file.substr(nameAt, length)});
            }
        }
        if (!m_symbols.empty())
            break;
    }
    std::sort(m_symbols.begin(), m_symbols.end(),
              [](const SSymbol& a, const SSymbol& b) { return a.start < b.start; });
    return true;
}

std::string CElfSymbols::nameAt(std::uint64_t moduleOffset) const
{
    const std::uint64_t address = moduleOffset + m_firstLoad;
    auto after = std::upper_bound(m_symbols.begin(), m_symbols.end(), address,
                                  [](std::uint64_t a, const SSymbol& s) { return a < s.start; });
    // The nearest function starting at or before the address that also covers it.
    while (after != m_symbols.begin()) {
        --after;
        if (address < after->start + std::max<std::uint64_t>(after->size, 1)) {
            char offset[32];
            std::snprintf(offset, sizeof offset, "+0x%llx",
                          static_cast<unsigned long long>(address - after->start));
            return after->name + offset;
        }
        if (after->start + 0x100000 < address)
            break;
    }
    return {};
}

} // namespace BL::Server
