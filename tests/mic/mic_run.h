#pragma once
// Running tarnwick-miccapture against a simulated audio system described by
// the test, the way a parent application runs it.

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"

namespace tarnwick::testing::mic {

// The log prefix of every stderr line.
inline const std::string prefix = "[tarnwick-miccapture] ";

// A running (or finished) program with its scenario and trace files.
struct MicRun {
    std::unique_ptr<ChildProcess> child;
    std::string tracePath;

    // The stderr lines without the program prefix (lines without it are kept
    // whole), but for the "timeline:" lines, whose place among the others
    // depends on when the IO thread runs.
    std::vector<std::string> messages();
    // The operation names of the trace, in order (events left out).
    std::vector<std::string> traceCalls();
    std::vector<std::string> traceLines();
};

// Starts the program with `args` on `scenario`.
MicRun runMic(const nlohmann::json& scenario, const std::vector<std::string>& args = {});

// The same through /bin/sh with standard output closed before exec.
MicRun runMicWithoutStdout(const nlohmann::json& scenario, const std::vector<std::string>& args = {});

// A scenario with one device and that device as default input.
nlohmann::json oneDevice(const nlohmann::json& device);

// A device entry with the given fields over sensible defaults.
nlohmann::json device(const std::string& uid, nlohmann::json fields = nlohmann::json::object());

inline nlohmann::json counterSignal() { return {{"kind", "counter"}}; }
inline nlohmann::json sineSignal(double frequency, double amplitude) {
    return {{"kind", "sine"}, {"frequency", frequency}, {"amplitude", amplitude}};
}

// Count of lines equal to `line`.
int countOf(const std::vector<std::string>& lines, const std::string& line);
// Count of lines that start with `start`.
int countStartingWith(const std::vector<std::string>& lines, const std::string& start);

// Generous waits: the suite also runs under sanitizers on a busy machine.
inline constexpr double startTimeout = 30;
inline constexpr double exitTimeout = 60;

}  // namespace tarnwick::testing::mic
