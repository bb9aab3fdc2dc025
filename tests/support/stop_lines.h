#pragma once
// How a capture program's log ends after an orderly stop, as the suites
// that stop one read it.

#include <string>
#include <vector>

namespace tarnwick::testing {

// The stop's two lines: why it stops, then `last`.
inline std::vector<std::string> endLines(const std::string& reason,
                                         const std::string& last = "capture stopped cleanly") {
    return {"shutting down (" + reason + ") — stopping capture", last};
}

// The last two of `lines`; all of them when there are fewer.
inline std::vector<std::string> lastTwo(const std::vector<std::string>& lines) {
    return lines.size() < 2 ? lines : std::vector<std::string>(lines.end() - 2, lines.end());
}

}  // namespace tarnwick::testing
