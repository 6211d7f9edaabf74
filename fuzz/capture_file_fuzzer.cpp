// libFuzzer entry: any bytes as one capture file. A broken property aborts, which libFuzzer
// reports as a finding and keeps the input.
#include <cstdio>
#include <cstdlib>

#include "fuzz/input_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static telmora::fuzz::CaptureFileCheck check;
    const std::string failure = check(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "capture file: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
