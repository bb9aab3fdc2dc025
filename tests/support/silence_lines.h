#pragma once
// The lines both programs log about digital silence, as their suites read
// them: "<source> delivers digital silence for …" once a silent run is long
// enough, "<source> delivers audio again after …" when it ends.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace tarnwick::testing {

// The silence lines among `messages` of the source ("input", "tap"), in order.
inline std::vector<std::string> silenceLines(const std::vector<std::string>& messages, const std::string& source) {
    std::vector<std::string> out;
    for (const auto& m : messages) {
        if (m.rfind(source + " delivers", 0) == 0) out.push_back(m);
    }
    return out;
}

// `line` is the source's end-of-silence line, its seconds written with one
// decimal ("<digits>.<digit>") and between `atLeast` and `atMost`.
inline void expectSilenceEndLine(const std::string& line, const std::string& source, double atLeast, double atMost) {
    const std::string start = source + " delivers audio again after ";
    const std::string seconds = line.substr(start.size(), line.find(' ', start.size()) - start.size());
    EXPECT_EQ(line, start + seconds + " s of digital silence");
    EXPECT_TRUE(seconds.size() >= 3 && seconds[seconds.size() - 2] == '.' &&
                std::all_of(seconds.begin(), seconds.end(), [](char c) { return c == '.' || std::isdigit(c); }))
        << seconds;
    EXPECT_GE(std::stod(seconds), atLeast);
    EXPECT_LE(std::stod(seconds), atMost);
}

}  // namespace tarnwick::testing
