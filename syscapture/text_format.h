#pragma once
// Number forms used in log lines: whole hertz with the fraction dropped, and
// seconds in the shortest decimal form that keeps a fractional part ("2.0").

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace tarnwick::sys {

// Truncates toward zero; values that no integer holds (NaN, huge) never reach
// a cast whose result is undefined.
inline std::int64_t truncateToInt64(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    if (value <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

inline std::int32_t truncateToInt32(double value) {
    std::int64_t whole = truncateToInt64(value);
    if (whole > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (whole < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(whole);
}

inline std::string wholeNumber(double value) { return std::to_string(truncateToInt64(value)); }

inline std::string decimalSeconds(double value) {
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".en") == std::string::npos) text += ".0";
    return text;
}

}  // namespace tarnwick::sys
