#include "tests/support/timeline_lines.h"

#include <gtest/gtest.h>

#include <charconv>
#include <string_view>

namespace tarnwick::testing {

namespace {

// True when the whole of `text` is a run of decimal digits.
template <typename Number>
bool readNumber(std::string_view text, Number& out) {
    if (text.empty()) return false;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), out);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() && text.front() != '-';
}

}  // namespace

std::vector<TimelineLine> timelineLines(const std::vector<std::string>& stderrLines) {
    constexpr std::string_view head = "] timeline: frame ";
    constexpr std::string_view middle = " captured at ";
    constexpr std::string_view tail = " ns";
    std::vector<TimelineLine> lines;
    for (const std::string& whole : stderrLines) {
        const std::string_view line = whole;
        const std::size_t at = line.find(head);
        if (at == std::string_view::npos) continue;
        const bool prefixed = line.starts_with("[tarnwick-miccapture") || line.starts_with("[tarnwick-syscapture");
        const std::string_view rest = line.substr(at + head.size());
        const std::size_t split = rest.find(middle);
        TimelineLine parsed;
        if (!prefixed || at != 20 || split == std::string_view::npos || !rest.ends_with(tail) ||
            !readNumber(rest.substr(0, split), parsed.frame) ||
            !readNumber(rest.substr(split + middle.size(), rest.size() - split - middle.size() - tail.size()),
                        parsed.nanos)) {
            ADD_FAILURE() << "not a timeline line: " << whole;
            continue;
        }
        lines.push_back(parsed);
    }
    return lines;
}

}  // namespace tarnwick::testing
