#pragma once
// The "timeline: frame <n> captured at <t> ns" lines of a child's stderr.

#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick::testing {

struct TimelineLine {
    std::uint64_t frame = 0;
    std::int64_t nanos = 0;
};

// In the order logged. A line that starts like one but does not read as one
// fails the calling test.
std::vector<TimelineLine> timelineLines(const std::vector<std::string>& stderrLines);

}  // namespace tarnwick::testing
