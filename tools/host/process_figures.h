#pragma once
// The harness's own process as the checks read it: its threads and their CPU time, and a free
// UDP port to listen on.

#include <cstdint>
#include <vector>

namespace telmora::host {

// A UDP port on 127.0.0.1 free at the time of the call (bound once by the system and released).
std::uint16_t freeUdpPort();
// Threads of this process now (/proc/self/task, or a Toolhelp snapshot on Windows); -1 where
// that cannot be read.
int processThreadCount();
// The thread ids of this process now; empty where they cannot be read.
std::vector<int> processThreadIds();
// CPU seconds (user + system) used so far by the given threads of this process.
double threadsCpuSeconds(const std::vector<int>& threadIds);
// CPU seconds (user + system) used so far by the whole process.
double processCpuSeconds();

}  // namespace telmora::host
