#include "tests/support/timeline_lines.h"

#include <gtest/gtest.h>

#include <regex>

namespace tarnwick::testing {

std::vector<TimelineLine> timelineLines(const std::vector<std::string>& stderrLines) {
    static const std::regex shape(R"(^\[tarnwick-(mic|sys)capture\] timeline: frame (\d+) captured at (\d+) ns$)");
    std::vector<TimelineLine> lines;
    for (const std::string& line : stderrLines) {
        if (line.find("] timeline:") == std::string::npos) continue;
        std::smatch match;
        if (!std::regex_match(line, match, shape)) {
            ADD_FAILURE() << "not a timeline line: " << line;
            continue;
        }
        lines.push_back({std::stoull(match[2]), std::stoll(match[3])});
    }
    return lines;
}

}  // namespace tarnwick::testing
