#include "tools/host/process_figures.h"

#if defined(_WIN32)
#include <windows.h>
// tlhelp32.h needs windows.h first.
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "network/socket.h"

namespace telmora::host {

std::uint16_t freeUdpPort() {
    UdpSocket socket;
    if (socket.open() != 0) return 0;
    if (socket.bind({*parseIpv4("127.0.0.1"), 0}) != 0) return 0;
    const std::optional<Ipv4Endpoint> local = socket.localEndpoint();
    return local ? local->port : 0;
}

#if defined(_WIN32)
std::vector<int> processThreadIds() {
    std::vector<int> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return ids;
    // The snapshot holds every thread of the system; ours are those owned by this process.
    const DWORD self = GetCurrentProcessId();
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ids.push_back(static_cast<int>(entry.th32ThreadID));
        entry.dwSize = sizeof(entry);
    }
    CloseHandle(snapshot);
    return ids;
}

namespace {
// FILETIME counts 100 ns.
double fileTimeSeconds(const FILETIME& t) {
    return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                               t.dwLowDateTime) *
           1e-7;
}
}  // namespace

double threadsCpuSeconds(const std::vector<int>& threadIds) {
    double seconds = 0.0;
    for (int id : threadIds) {
        HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
        if (!thread) continue;
        FILETIME created, exited, kernel, user;
        if (GetThreadTimes(thread, &created, &exited, &kernel, &user))
            seconds += fileTimeSeconds(kernel) + fileTimeSeconds(user);
        CloseHandle(thread);
    }
    return seconds;
}

double processCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
    return fileTimeSeconds(kernel) + fileTimeSeconds(user);
}
#else
std::vector<int> processThreadIds() {
    std::vector<int> ids;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return ids;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        ids.push_back(std::atoi(entry->d_name));
    }
    closedir(dir);
    return ids;
}

double threadsCpuSeconds(const std::vector<int>& threadIds) {
    const double ticksPerSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
    double seconds = 0.0;
    for (int id : threadIds) {
        std::ifstream file("/proc/self/task/" + std::to_string(id) + "/stat");
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        // The command name (field 2) is in parentheses and may hold spaces: count fields from
        // the last ')'. utime and stime are fields 14 and 15.
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 2));
        std::string field;
        double utime = 0.0, stime = 0.0;
        for (int index = 3; rest >> field; ++index) {
            if (index == 14) utime = std::atof(field.c_str());
            if (index == 15) {
                stime = std::atof(field.c_str());
                break;
            }
        }
        seconds += (utime + stime) / ticksPerSecond;
    }
    return seconds;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}
#endif

int processThreadCount() {
    const std::vector<int> ids = processThreadIds();
    return ids.empty() ? -1 : static_cast<int>(ids.size());
}

}  // namespace telmora::host
