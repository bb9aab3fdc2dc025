// Every way a start can fail: the one line the parent reads, the exit status
// that tells "not running IO" (3) from everything else (1), nothing but at
// most the header on stdout, and every platform object released in order.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/sys/sys_run.h"

namespace tarnwick::testing {
namespace {

using nlohmann::json;

const std::string keepAliveLine = "keepalive: silent render started on output device 100 @ 48000 Hz";
const std::string outputLine =
    "output: 48000 Hz, buf=512; aggregate default buf=512; tap claims 48000 Hz → header will use 48000 Hz";
const std::string headerLine = "header sent at start: 48000 Hz, 2ch, 32-bit, frame=512";

std::vector<std::string> retries(const std::string& label, long long status) {
    std::vector<std::string> lines;
    const char* delays[] = {"150", "300", "600"};
    for (int r = 1; r <= 3; ++r) {
        lines.push_back(label + " failed (" + std::to_string(status) + ") — retry " + std::to_string(r) + "/3 in " +
                        delays[r - 1] + " ms");
    }
    return lines;
}

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

struct FailureCase {
    std::string name;
    std::function<void(json&)> arrange;
    std::vector<std::string> messages;
    int status;
    std::size_t stdoutBytes;  // 0, or 24 when the failure comes after the header
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }


// The messages without the first cycles' statistics: a device runs before
// the header is written and before a second attempt's format is checked, so
// on a busy machine such a line can land anywhere around the failure.
std::vector<std::string> messagesWithoutCycleLines(SysRun& run) {
    std::vector<std::string> messages = run.messages();
    std::erase_if(messages, [](const std::string& line) { return line.rfind("cb ", 0) == 0; });
    return messages;
}

class SysStartFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(SysStartFailure, ReportsOneLineAndTheExitStatusAndReleasesEverything) {
    const auto& c = GetParam();
    json scenario = counterScenario();
    c.arrange(scenario);
    SysRun run(scenario);
    EXPECT_EQ(run.wait(60), c.status);
    EXPECT_EQ(messagesWithoutCycleLines(run), c.messages);
    EXPECT_EQ(run.stdoutBytes().size(), c.stdoutBytes);
    expectEverythingReleasedInOrder(parseTrace(run.traceLines()));
}

void addFault(json& scenario, json f) { scenario["faults"].push_back(std::move(f)); }

const std::string noIOLine1 =
    "AudioDeviceStart returned noErr but the tap delivered no IO cycle in 2.0 s — CoreAudio is not running IO (attempt "
    "1/2)";
const std::string noIOLine2 =
    "AudioDeviceStart returned noErr but the tap delivered no IO cycle in 2.0 s — CoreAudio is not running IO (attempt "
    "2/2)";

INSTANTIATE_TEST_SUITE_P(
    Steps, SysStartFailure,
    ::testing::Values(
        FailureCase{"NoDefaultOutput", [](json& s) { s["default_output"] = nullptr; },
                    {"capture start failed: no default output device (0)"}, 1, 0},
        FailureCase{"OutputUidUnreadable", [](json& s) { s["devices"][0]["uid"] = nullptr; },
                    {"capture start failed: could not read output device UID (2003332927)"}, 1, 0},
        FailureCase{"NoHalOutputComponent",
                    [](json& s) { addFault(s, {{"call", "AudioComponentFindNext"}, {"null_result", true}}); },
                    {"capture start failed: keepalive: no HALOutput component"}, 1, 0},
        FailureCase{"UnitInstanceRefused",
                    [](json& s) { addFault(s, {{"call", "AudioComponentInstanceNew"}, {"status", -50}}); },
                    {"capture start failed: keepalive: AudioComponentInstanceNew failed (-50)"}, 1, 0},
        FailureCase{"UnitInstanceNil",
                    [](json& s) { addFault(s, {{"call", "AudioComponentInstanceNew"}, {"null_result", true}}); },
                    {"capture start failed: keepalive: AudioComponentInstanceNew failed (0)"}, 1, 0},
        FailureCase{"EnableOutputRefused",
                    [](json& s) {
                        addFault(s, {{"call", "AudioUnitSetProperty"}, {"property", 2003}, {"scope", "output"},
                                     {"status", -10879}});
                    },
                    {"capture start failed: keepalive: EnableIO out failed (-10879)"}, 1, 0},
        FailureCase{"DisableInputRefused",
                    [](json& s) {
                        addFault(s, {{"call", "AudioUnitSetProperty"}, {"property", 2003}, {"scope", "input"},
                                     {"status", -10879}});
                    },
                    {"capture start failed: keepalive: EnableIO in failed (-10879)"}, 1, 0},
        FailureCase{"CurrentDeviceRefused",
                    [](json& s) {
                        addFault(s, {{"call", "AudioUnitSetProperty"}, {"property", 2000}, {"status", -10851}});
                    },
                    {"capture start failed: keepalive: CurrentDevice failed (-10851)"}, 1, 0},
        FailureCase{"RenderCallbackRefused",
                    [](json& s) {
                        addFault(s, {{"call", "AudioUnitSetProperty"}, {"property", 23}, {"status", -10879}});
                    },
                    {"capture start failed: keepalive: SetRenderCallback failed (-10879)"}, 1, 0},
        FailureCase{"UnitInitializeFails",
                    [](json& s) { addFault(s, {{"call", "AudioUnitInitialize"}, {"status", -10875}}); },
                    {"capture start failed: keepalive: AudioUnitInitialize failed (-10875)"}, 1, 0},
        FailureCase{"UnitStartNotRunningIO",
                    [](json& s) { addFault(s, {{"call", "AudioOutputUnitStart"}, {"status", 2003329396}}); },
                    concat({retries("keepalive: AudioOutputUnitStart", 2003329396),
                            {"capture start failed: keepalive: AudioOutputUnitStart failed (2003329396)"}}),
                    3, 0},
        FailureCase{"UnitStartOtherFailure",
                    [](json& s) { addFault(s, {{"call", "AudioOutputUnitStart"}, {"status", -66635}}); },
                    concat({retries("keepalive: AudioOutputUnitStart", -66635),
                            {"capture start failed: keepalive: AudioOutputUnitStart failed (-66635)"}}),
                    1, 0},
        FailureCase{"TapRefused",
                    [](json& s) { addFault(s, {{"call", "AudioHardwareCreateProcessTap"}, {"status", 1852797029}}); },
                    {keepAliveLine, "capture start failed: AudioHardwareCreateProcessTap failed (1852797029) — System "
                                    "Audio Recording permission denied?"},
                    1, 0},
        FailureCase{"TapWithoutId",
                    [](json& s) { addFault(s, {{"call", "AudioHardwareCreateProcessTap"}, {"null_result", true}}); },
                    {keepAliveLine, "capture start failed: AudioHardwareCreateProcessTap failed (0) — System Audio "
                                    "Recording permission denied?"},
                    1, 0},
        FailureCase{"TapFormatUnreadable",
                    [](json& s) {
                        addFault(s, {{"call", "AudioObjectGetPropertyData"}, {"property", "tfmt"},
                                     {"status", 2003332927}});
                    },
                    {keepAliveLine, "capture start failed: could not read tap format (2003332927)"}, 1, 0},
        FailureCase{"AggregateRefused",
                    [](json& s) {
                        addFault(s, {{"call", "AudioHardwareCreateAggregateDevice"}, {"status", 1852797029}});
                    },
                    {keepAliveLine, "capture start failed: AudioHardwareCreateAggregateDevice failed (1852797029)"}, 1,
                    0},
        FailureCase{"AggregateWithoutId",
                    [](json& s) {
                        addFault(s, {{"call", "AudioHardwareCreateAggregateDevice"}, {"null_result", true}});
                    },
                    {keepAliveLine, "capture start failed: AudioHardwareCreateAggregateDevice failed (0)"}, 1, 0},
        FailureCase{"IOProcRefused",
                    [](json& s) {
                        addFault(s, {{"call", "AudioDeviceCreateIOProcIDWithBlock"}, {"status", 560947818}});
                    },
                    {keepAliveLine, outputLine, "capture start failed: AudioDeviceCreateIOProcIDWithBlock failed (560947818)"},
                    1, 0},
        FailureCase{"DeviceStartNotRunningIO",
                    [](json& s) { addFault(s, {{"call", "AudioDeviceStart"}, {"status", 2003329396}}); },
                    concat({{keepAliveLine, outputLine},
                            retries("AudioDeviceStart", 2003329396),
                            {"capture start failed: AudioDeviceStart failed (2003329396)"}}),
                    3, 0},
        FailureCase{"DeviceStartOtherFailure",
                    [](json& s) { addFault(s, {{"call", "AudioDeviceStart"}, {"status", 1852797029}}); },
                    concat({{keepAliveLine, outputLine},
                            retries("AudioDeviceStart", 1852797029),
                            {"capture start failed: AudioDeviceStart failed (1852797029)"}}),
                    1, 0},
        FailureCase{"NoIOCycleInEitherAttempt", [](json& s) { s["tap"] = {{"silent_starts", "always"}}; },
                    {keepAliveLine, outputLine, headerLine, noIOLine1, keepAliveLine, outputLine, noIOLine2,
                     "capture start failed: tap started but delivered no audio — CoreAudio is not running IO"},
                    3, 24},
        FailureCase{"RateChangedBetweenAttempts",
                    [](json& s) {
                        s["devices"][0]["sample_rate"] = 44100;
                        s["tap"] = {{"silent_starts", 1}};
                        s["events"] = {{{"at", 1.2}, {"set_sample_rate", {{"device", "spk"}, {"rate", 48000}}}}};
                    },
                    {"keepalive: silent render started on output device 100 @ 44100 Hz",
                     "output: 44100 Hz, buf=512; aggregate default buf=512; tap claims 44100 Hz → header will use "
                     "44100 Hz",
                     "header sent at start: 44100 Hz, 2ch, 32-bit, frame=512", noIOLine1, keepAliveLine, outputLine,
                     "capture start failed: format changed across start attempts (44100 Hz/2ch → 48000 Hz/2ch) — "
                     "parent will restart capture"},
                    1, 24}),
    [](const auto& info) { return info.param.name; });

TEST(SysStartFailure, ClosedStdoutBeforeTheHeaderFailsTheStart) {
    SysRun run(counterScenario());
    run.child().closeStdout();  // before the 150 ms settle pause is over
    EXPECT_EQ(run.wait(), 1);
    EXPECT_EQ(messagesWithoutCycleLines(run), (std::vector<std::string>{keepAliveLine, outputLine,
                                                  "capture start failed: stdout closed while writing header"}));
    expectEverythingReleasedInOrder(parseTrace(run.traceLines()));
}

TEST(SysStartFailure, NothingCreatedMeansNothingReleased) {
    json scenario = counterScenario();
    scenario["default_output"] = nullptr;
    SysRun run(scenario);
    EXPECT_EQ(run.wait(), 1);
    // Only lookups: no unit, tap, aggregate device or IO proc to release.
    for (const auto& call : parseTrace(run.traceLines())) {
        EXPECT_TRUE(call.call == "AudioObjectGetPropertyData" || call.call == "CFStringGetCString" ||
                    call.call == "CFRelease")
            << "unexpected call " << call.call;
    }
}

// The variables for every backend work on the simulated system too: the
// faults file fails the start as the scenario's fault does, and the trace
// goes to TARNWICK_TRACE.
TEST(SysStartFailure, FaultsFileAndTraceVariableActAsTheScenarioWould) {
    const std::string trace = tempPath(".trace");
    ChildProcess child(sysProgram(), {},
                       {{"TARNWICK_AUDIO", audioSystemName()},
                        {"TARNWICK_SIM_SCENARIO", writeTempFile(counterScenario().dump())},
                        {"TARNWICK_SIM_TRACE", ""},
                        {"TARNWICK_FAULTS", writeTempFile(R"([{"call": "AudioDeviceStart", "status": 1852797029}])")},
                        {"TARNWICK_TRACE", trace}});
    EXPECT_EQ(child.wait(60), 1);
    std::vector<std::string> messages;
    for (const std::string& line : child.stderrLines()) {
        if (line.find("] cb ") == std::string::npos) messages.push_back(line.substr(line.find("] ") + 2));
    }
    EXPECT_EQ(messages, concat({{keepAliveLine, outputLine},
                                retries("AudioDeviceStart", 1852797029),
                                {"capture start failed: AudioDeviceStart failed (1852797029)"}}));
    EXPECT_TRUE(child.stdoutBytes().empty());
    const auto calls = parseTrace(readLines(trace));
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const TraceCall& c) { return c.call == "AudioDeviceStart" && c.result == "fault"; }),
              4);
    expectEverythingReleasedInOrder(calls);
}

}  // namespace
}  // namespace tarnwick::testing
