#pragma once
// A shared library's exported names, read from the file itself (ELF or PE) with every offset
// checked against the file.

#include <optional>
#include <string>
#include <vector>

namespace telmora::host {

// Names of the functions and objects a shared library exports, read from the file itself: for
// ELF those defined, global or weak, default or protected visibility in its dynamic symbol
// table; for a PE file (Windows DLL) the names of its export directory. Nothing, with `error`
// set, for a file that is neither a PE file nor a 64-bit little-endian ELF.
std::optional<std::vector<std::string>> exportedSymbols(const std::string& path,
                                                        std::string& error);

}  // namespace telmora::host
