#pragma once
// Runs tarnwick-syscapture as a parent would, on the simulated audio system
// with a scenario written by the test, and reads back what it said, what it
// streamed and which platform calls it made.

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"

namespace tarnwick::testing {

inline constexpr const char* sysPrefix = "[tarnwick-syscapture] ";

// One output device "spk" (id 100), stereo, 48000 Hz, 512-frame buffers,
// playing a counter; the tap hears it planar stereo.
nlohmann::json counterScenario();

class SysRun {
public:
    explicit SysRun(const nlohmann::json& scenario, const std::vector<std::string>& args = {});

    ChildProcess& child() { return *child_; }

    // Waits for a log message (without the program prefix) to appear.
    bool waitFor(const std::string& message, double seconds = 20);
    // Closes stdin and waits for the exit status.
    int stopAndWait(double seconds = 30);
    int wait(double seconds = 30) { return child_->wait(seconds); }

    // Stderr lines with the "[tarnwick-syscapture] " prefix removed; a line
    // without the prefix is kept whole, so it shows up in comparisons.
    std::vector<std::string> messages();
    // Messages other than the per-cycle "cb N:" and the "timeline:" lines,
    // whose place among the start lines depends on when IO cycles run.
    std::vector<std::string> startMessages();
    std::size_t count(const std::string& message);

    std::vector<unsigned char> stdoutBytes() { return child_->stdoutBytes(); }
    std::vector<std::string> traceLines() { return readLines(tracePath_); }

private:
    std::string scenarioPath_;
    std::string tracePath_;
    std::unique_ptr<ChildProcess> child_;
};

// A trace line "CALL ARGS -> STATUS RESULT", split up.
struct TraceCall {
    std::string call;
    std::vector<std::string> args;  // by spaces
    long long status = 0;
    std::string result;
    std::size_t index = 0;  // position among the calls
};
std::vector<TraceCall> parseTrace(const std::vector<std::string>& lines);

// Every unit, tap, aggregate device and IO proc that the trace shows created
// is released exactly once, and each attempt's release runs keep-alive unit,
// IO proc (stopped, then destroyed), aggregate device, tap. Every listener
// registration is removed once, later, with the same arguments. Non-fatal
// failures describe what is missing.
void expectEverythingReleasedInOrder(const std::vector<TraceCall>& trace);

// The created objects of each kind, in order of creation.
struct Created {
    std::vector<std::string> units, procs;
    std::vector<unsigned long> taps, aggregates;
};
Created createdObjects(const std::vector<TraceCall>& trace);

// Checks a counter signal carried as `channels`-channel frames whose stream
// channel k is device channel `deviceChannels[k]`: every sample bit-exact,
// frames consecutive. Reports the frames and the number of jumps.
struct CounterReport {
    std::size_t frames = 0;
    std::size_t gaps = 0;
    std::string firstProblem;  // empty when every sample is a counter value
};
CounterReport checkCounter(const std::vector<float>& samples, const std::vector<int>& deviceChannels);

}  // namespace tarnwick::testing
