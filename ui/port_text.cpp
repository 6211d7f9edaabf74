#include "ui/port_text.h"

namespace telmora {

std::optional<int> parseListeningPort(const char* text) {
    constexpr long long kLowest = 1;
    constexpr long long kHighest = 65535;
    if (text == nullptr) return std::nullopt;
    const char* p = text;
    // The white space sscanf skips before a number.
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (*p < '0' || *p > '9') return std::nullopt;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        // Saturate just past the range: more digits cannot bring the number back into it.
        if (value <= kHighest) value = value * 10 + (*p - '0');
    }
    if (negative) value = -value;
    if (value < kLowest || value > kHighest) return std::nullopt;
    return static_cast<int>(value);
}

}  // namespace telmora
