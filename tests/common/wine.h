#pragma once
// Tests that Wine's socket layer cannot pass skip themselves there, with the reason; the same
// tests run everywhere else.

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

namespace telmora::test {

// True when this program is a Windows build running under Wine (its ntdll has
// wine_get_version).
inline bool runningUnderWine() {
#ifdef _WIN32
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// Wine binds a UDP socket bound to a loopback address other than 0.0.0.0 to the whole loopback
// interface instead (0.0.0.0 plus SO_BINDTODEVICE, so that it also gets broadcasts): a peer
// bound to 127.0.0.2 sends from 127.0.0.1, and 127.0.0.2:P is "in use" (10048) while 127.0.0.1:P
// is bound.
inline constexpr char kWineLoopbackIdentity[] =
    "under Wine every loopback address is 127.0.0.1: peers cannot be told apart by address";
// Wine's shutdown() of a UDP socket does not end a receive waiting in another thread, nor make
// the next one fail (it keeps timing out with 10060). Our loops do not rely on it: they look at
// their stop flag after every receive time-out.
inline constexpr char kWineShutdownWake[] =
    "under Wine shutdown() does not wake a receive waiting in another thread";

}  // namespace telmora::test

// Skips the running test under Wine, giving `reason`.
#define TELMORA_SKIP_UNDER_WINE(reason)                                    \
    do {                                                                   \
        if (::telmora::test::runningUnderWine()) GTEST_SKIP() << (reason); \
    } while (false)
