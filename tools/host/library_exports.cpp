#include "tools/host/library_exports.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace telmora::host {

namespace {

template <class T>
bool readAt(const std::vector<char>& bytes, std::size_t offset, T& value) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return true;
}

// The names of a PE file's export directory (a Windows DLL). Every offset is checked against
// the file: a damaged file gives an error, never a read outside it.
std::optional<std::vector<std::string>> peExports(const std::vector<char>& bytes,
                                                  const std::string& path, std::string& error) {
    const auto damaged = [&] {
        error = "'" + path + "' is a damaged PE file";
        return std::nullopt;
    };
    std::uint32_t header = 0, signature = 0;
    std::uint16_t sectionCount = 0, optionalSize = 0, magic = 0;
    if (!readAt(bytes, 0x3C, header) || !readAt(bytes, header, signature) ||
        signature != 0x00004550 /* "PE\0\0" */ ||
        !readAt(bytes, std::size_t{header} + 6, sectionCount) ||
        !readAt(bytes, std::size_t{header} + 20, optionalSize))
        return damaged();
    const std::size_t optional = std::size_t{header} + 24;
    if (!readAt(bytes, optional, magic)) return damaged();
    // The data directories follow the optional header's fixed part: 96 bytes for PE32
    // (0x10b), 112 for PE32+ (0x20b). Directory 0 is the export table.
    const std::size_t directories = optional + (magic == 0x20b ? 112 : 96);
    std::uint32_t directoryCount = 0, exportRva = 0;
    if (!readAt(bytes, directories - 4, directoryCount) || !readAt(bytes, directories, exportRva))
        return damaged();
    std::vector<std::string> names;
    if (directoryCount == 0 || exportRva == 0) return names;
    // An address in the loaded image to its offset in the file, through the section table.
    const std::size_t sections = optional + optionalSize;
    const auto fileOffset = [&](std::uint32_t rva, std::size_t& offset) {
        for (std::uint16_t i = 0; i < sectionCount; ++i) {
            const std::size_t at = sections + std::size_t{i} * 40;
            std::uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawOffset = 0;
            if (!readAt(bytes, at + 8, virtualSize) || !readAt(bytes, at + 12, virtualAddress) ||
                !readAt(bytes, at + 16, rawSize) || !readAt(bytes, at + 20, rawOffset))
                return false;
            const std::uint32_t extent = std::max(virtualSize, rawSize);
            if (rva >= virtualAddress && rva - virtualAddress < extent) {
                offset = std::size_t{rawOffset} + (rva - virtualAddress);
                return offset < bytes.size();
            }
        }
        return false;
    };
    std::size_t directory = 0, nameTable = 0;
    std::uint32_t nameCount = 0, nameTableRva = 0;
    if (!fileOffset(exportRva, directory) || !readAt(bytes, directory + 24, nameCount) ||
        !readAt(bytes, directory + 32, nameTableRva) ||
        (nameCount > 0 && !fileOffset(nameTableRva, nameTable)))
        return damaged();
    for (std::uint32_t i = 0; i < nameCount; ++i) {
        std::uint32_t nameRva = 0;
        std::size_t nameAt = 0;
        if (!readAt(bytes, nameTable + std::size_t{i} * 4, nameRva) || !fileOffset(nameRva, nameAt))
            return damaged();
        const char* name = bytes.data() + nameAt;
        const std::size_t length = strnlen(name, bytes.size() - nameAt);
        if (length > 0) names.emplace_back(name, length);
    }
    return names;
}

}  // namespace

std::optional<std::vector<std::string>> exportedSymbols(const std::string& path,
                                                        std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read '" + path + "'";
        return std::nullopt;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
    if (bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z')
        return peExports(bytes, path, error);
    // ELF64 little-endian: e_ident "\x7fELF", class 2, data 1.
    if (bytes.size() < 64 ||
        std::memcmp(bytes.data(),
                    "\x7f"
                    "ELF",
                    4) != 0 ||
        bytes[4] != 2 || bytes[5] != 1) {
        error = "'" + path + "' is neither a PE file nor a 64-bit little-endian ELF file";
        return std::nullopt;
    }
    std::uint64_t sectionOffset = 0;
    std::uint16_t sectionSize = 0, sectionCount = 0;
    readAt(bytes, 0x28, sectionOffset);
    readAt(bytes, 0x3A, sectionSize);
    readAt(bytes, 0x3C, sectionCount);
    struct Section {
        std::uint32_t type = 0, link = 0;
        std::uint64_t offset = 0, size = 0, entrySize = 0;
    };
    auto section = [&](std::uint32_t index, Section& s) {
        const std::size_t base = sectionOffset + std::size_t{index} * sectionSize;
        return readAt(bytes, base + 4, s.type) && readAt(bytes, base + 24, s.offset) &&
               readAt(bytes, base + 32, s.size) && readAt(bytes, base + 40, s.link) &&
               readAt(bytes, base + 56, s.entrySize);
    };
    constexpr std::uint32_t kDynamicSymbols = 11;
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < sectionCount; ++i) {
        Section symbols;
        if (!section(i, symbols) || symbols.type != kDynamicSymbols) continue;
        Section strings;
        if (symbols.entrySize < 24 || !section(symbols.link, strings)) break;
        for (std::uint64_t at = symbols.offset; at + 24 <= symbols.offset + symbols.size;
             at += symbols.entrySize) {
            std::uint32_t nameOffset = 0;
            std::uint8_t info = 0, other = 0;
            std::uint16_t sectionIndex = 0;
            if (!readAt(bytes, at, nameOffset) || !readAt(bytes, at + 4, info) ||
                !readAt(bytes, at + 5, other) || !readAt(bytes, at + 6, sectionIndex))
                break;
            const int binding = info >> 4;
            const int visibility = other & 3;
            const bool defined = sectionIndex != 0;
            const bool global =
                binding == 1 || binding == 2 || binding == 10;        // GLOBAL, WEAK, UNIQUE
            const bool visible = visibility == 0 || visibility == 3;  // DEFAULT, PROTECTED
            if (!defined || !global || !visible) continue;
            const std::size_t nameAt = strings.offset + nameOffset;
            if (nameAt >= bytes.size()) continue;
            const char* name = bytes.data() + nameAt;
            const std::size_t length = strnlen(name, bytes.size() - nameAt);
            if (length > 0) names.emplace_back(name, length);
        }
        return names;
    }
    error = "'" + path + "' has no dynamic symbol table";
    return std::nullopt;
}

}  // namespace telmora::host
