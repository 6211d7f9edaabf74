#include "tools/common/installed_file.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <filesystem>
#include <system_error>

namespace telmora {

std::string programPath() {
#if defined(_WIN32)
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    return length > 0 && length < sizeof(path) ? std::string(path, length) : std::string();
#else
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof(path));
    return length > 0 && static_cast<std::size_t>(length) < sizeof(path)
               ? std::string(path, static_cast<std::size_t>(length))
               : std::string();
#endif
}

std::string installedOrBuilt(const std::string& relative, const std::string& built) {
    namespace fs = std::filesystem;
    const std::string program = programPath();
    if (program.empty()) return built;
    const fs::path installed = fs::path(program).parent_path().parent_path() / relative;
    std::error_code error;
    return fs::is_regular_file(installed, error) ? installed.string() : built;
}

}  // namespace telmora
