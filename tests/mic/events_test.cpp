// A running capture meeting the world: device trouble, hardware changes and
// the parent's stop requests, each ending (or not) with its own lines.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/mic/mic_run.h"

namespace tarnwick::testing::mic {
namespace {

const std::string started = "capture started on \"mic\": device 48000 Hz 2ch → 48000 Hz 1ch (no resampling)";

nlohmann::json micScenario(nlohmann::json events = nlohmann::json::array(),
                           nlohmann::json fields = nlohmann::json::object()) {
    auto scenario = oneDevice(device("mic", std::move(fields)));
    scenario["devices"].push_back(device("other", {{"input_channels", 1}}));
    scenario["events"] = std::move(events);
    return scenario;
}

std::vector<std::string> endingWith(const std::string& reason) {
    return {started, "shutting down (" + reason + ") — stopping capture", "capture stopped cleanly"};
}

// The unit's own teardown comes last in the trace, in reverse order of setup.
void expectUnitTornDownLast(MicRun& run) {
    std::vector<std::string> calls;
    for (const std::string& call : run.traceCalls()) {
        if (call != "AudioUnitRender" && call != "AudioObjectGetPropertyData") calls.push_back(call);
    }
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"AudioOutputUnitStop", "AudioUnitUninitialize", "AudioComponentInstanceDispose"}));
}

// For an event the capture must not react to: the capture starts, the event
// certainly happens (the trace says so) and some time passes; the capture
// then ends only when the parent stops it.
void expectRunningPastItsEvent(MicRun& run) {
    ASSERT_TRUE(run.child->waitForStderr("capture started", startTimeout));
    for (int i = 0; i < 300 && readFile(run.tracePath).find("EVENT") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_NE(readFile(run.tracePath).find("EVENT"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    run.child->closeStdin();
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    EXPECT_EQ(run.messages(), endingWith("stdin EOF (parent stopped us)"));
}

// Each way a parent stops a running capture: the program names it in its
// shutting-down line, exits 0 and tears the unit down last.
struct StopCase {
    const char* name;
    void (*stop)(ChildProcess&);
    const char* reason;
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class MicStopRequest : public ::testing::TestWithParam<StopCase> {};

TEST_P(MicStopRequest, EndsCleanlyWithItsReason) {
    MicRun run = runMic(micScenario());
    ASSERT_TRUE(run.child->waitForStderr("capture started", startTimeout));
    GetParam().stop(*run.child);
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    EXPECT_EQ(run.messages(), endingWith(GetParam().reason));
    expectUnitTornDownLast(run);
}

INSTANTIATE_TEST_SUITE_P(
    Parent, MicStopRequest,
    ::testing::Values(StopCase{"StdinEndOfInput", [](ChildProcess& c) { c.closeStdin(); }, "stdin EOF (parent stopped us)"},
                      StopCase{"Sigterm", [](ChildProcess& c) { c.sendSignal(SIGTERM); }, "SIGTERM"},
                      StopCase{"Sigint", [](ChildProcess& c) { c.sendSignal(SIGINT); }, "SIGINT"},
                      StopCase{"ParentClosingStdout", [](ChildProcess& c) { c.closeStdout(); },
                               "stdout closed (parent gone)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MicStop, SigtermDuringTheStartEndsPromptly) {
    MicRun run = runMic(micScenario(nlohmann::json::array(), {{"unit", {{"silent_starts", "always"}}}}));
    ASSERT_TRUE(run.child->waitForStdout(24, startTimeout)) << "the header comes before the first wait";
    run.child->sendSignal(SIGTERM);
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    auto m = run.messages();
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(m[m.size() - 2], "shutting down (SIGTERM) — stopping capture");
    EXPECT_EQ(m.back(), "capture stopped cleanly");
    EXPECT_EQ(countStartingWith(m, "capture start failed"), 0);
}

TEST(MicRender, FailingRenderEndsTheCaptureAndIsLoggedOnce) {
    MicRun run = runMic(micScenario({{{"at", 0.5}, {"render_error", {{"device", "mic"}, {"status", -10863}}}}}));
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    auto m = run.messages();
    // The first slice may fail already during the start, so "capture
    // started" is not guaranteed here; what follows it is.
    EXPECT_EQ(countOf(m, "AudioUnitRender failed (-10863) — device gone? parent will restart capture"), 1);
    EXPECT_EQ(countOf(m, "shutting down (AudioUnitRender failed (-10863) — parent will restart capture) — stopping "
                         "capture"),
              1);
    EXPECT_EQ(m.back(), "capture stopped cleanly");
    auto goneLine = std::find(m.begin(), m.end(), "AudioUnitRender failed (-10863) — device gone? parent will restart capture");
    auto shutdownLine = std::find_if(m.begin(), m.end(), [](auto& l) { return l.rfind("shutting down", 0) == 0; });
    EXPECT_LT(goneLine, shutdownLine);
}

TEST(MicRender, OversizedSlicesAreDroppedAndLoggedOnce) {
    // Every slice is too large, so none is rendered and the start times out.
    MicRun run = runMic(micScenario(nlohmann::json::array(), {{"buffer_frames", 8192}}));
    EXPECT_EQ(run.child->wait(exitTimeout), 3);
    auto m = run.messages();
    EXPECT_EQ(countOf(m, "dropping oversized slice (8192 frames > 4096)"), 1);
    EXPECT_EQ(countStartingWith(m, "AudioOutputUnitStart returned noErr but the unit delivered no audio"), 3);
    EXPECT_EQ(m.back(), "capture start failed: unit started but delivered no audio — CoreAudio is not running IO");
    EXPECT_EQ(run.child->stdoutBytes().size(), 24u);
    auto calls = run.traceCalls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "AudioUnitRender"), 0);
}

TEST(MicRender, ResamplingFailureIsLoggedOnceAndEndsTheCapture) {
    auto scenario = micScenario(nlohmann::json::array(), {{"sample_rate", 44100}});
    scenario["faults"] = {{{"call", "AudioConverter"}, {"status", -50}, {"after", 20}}};
    MicRun run = runMic(scenario);
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    auto m = run.messages();
    EXPECT_EQ(countOf(m, "resampling failed (The operation couldn’t be completed. (OSStatus error -50.)) — shutting "
                         "down"),
              1);
    EXPECT_EQ(countOf(m, "shutting down (stdout closed (parent gone)) — stopping capture"), 1);
    EXPECT_EQ(m.back(), "capture stopped cleanly");
}

TEST(MicHealth, StallIsReportedOnceAndItsEndOnce) {
    MicRun run = runMic(micScenario({{{"at", 1.5}, {"stall", {{"device", "mic"}, {"seconds", 4.0}}}}}));
    ASSERT_TRUE(run.child->waitForStderr("render callbacks resumed after", startTimeout + 10));
    // The stalled time came back as silence; the capture stream tests check that line.
    ASSERT_TRUE(run.child->waitForStderr("ms of audio — filled with silence", startTimeout));
    run.child->closeStdin();
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    auto m = run.messages();
    EXPECT_EQ(countStartingWith(m, "input skipped "), 1);
    std::erase_if(m, [](const std::string& line) { return line.starts_with("input skipped "); });
    ASSERT_EQ(m.size(), 5u) << run.child->stderrText();
    EXPECT_EQ(m[0], started);
    const std::string stallHead = "no render callback for ";
    const std::string stallTail = " s — capture has stalled (log-only; the parent's 5 s watchdog owns recovery)";
    ASSERT_EQ(m[1].rfind(stallHead, 0), 0u) << m[1];
    ASSERT_GT(m[1].size(), stallHead.size() + stallTail.size());
    EXPECT_EQ(m[1].substr(m[1].size() - stallTail.size()), stallTail);
    double gap = std::atof(m[1].substr(stallHead.size()).c_str());
    EXPECT_GE(gap, 1.5);
    EXPECT_LT(gap, 4.1);
    const std::string resumeHead = "render callbacks resumed after ";
    ASSERT_EQ(m[2].rfind(resumeHead, 0), 0u) << m[2];
    EXPECT_EQ(m[2].substr(m[2].size() - 2), " s");
    double stalled = std::atof(m[2].substr(resumeHead.size()).c_str());
    EXPECT_GE(stalled, 3.9);
    EXPECT_LT(stalled, 7.0);
    EXPECT_EQ(m[3], "shutting down (stdin EOF (parent stopped us)) — stopping capture");
}

TEST(MicHealth, RateChangeEndsTheCapture) {
    MicRun run = runMic(micScenario({{{"at", 1.0}, {"set_sample_rate", {{"device", "mic"}, {"rate", 44100.9}}}}}));
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    EXPECT_EQ(run.messages(), endingWith("input device rate changed to 44100 Hz — parent will restart capture"));
    expectUnitTornDownLast(run);
}

TEST(MicHealth, UnchangedRateNotificationEndsTheCaptureToo) {
    MicRun run = runMic(micScenario({{{"at", 1.0}, {"set_sample_rate", {{"device", "mic"}, {"rate", 48000}}}}}),
                        {"--device", "mic"});
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    EXPECT_EQ(run.messages(), endingWith("input device rate changed to 48000 Hz — parent will restart capture"));
}

TEST(MicHealth, RateChangeOfAnotherDeviceIsIgnored) {
    MicRun run = runMic(micScenario({{{"at", 0.5}, {"set_sample_rate", {{"device", "other"}, {"rate", 44100}}}}}));
    ASSERT_NO_FATAL_FAILURE(expectRunningPastItsEvent(run));
}

TEST(MicHealth, DefaultInputChangeEndsACaptureThatFollowsTheDefault) {
    MicRun run = runMic(micScenario({{{"at", 1.0}, {"set_default_input", "other"}}}));
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    EXPECT_EQ(run.messages(), endingWith("default input device changed — parent will restart capture"));
}

// Changes that land after the device is bound but before the first audio (a
// stall holds it back here) notify no listener yet; they still end the capture.
TEST(MicHealth, ChangesDuringTheStartEndTheCaptureOnceItHasStarted) {
    const nlohmann::json stall = {{"at", 0.0}, {"stall", {{"device", "mic"}, {"seconds", 1.0}}}};
    MicRun defaultChange = runMic(micScenario({stall, {{"at", 0.5}, {"set_default_input", "other"}}}));
    EXPECT_EQ(defaultChange.child->wait(exitTimeout), 0);
    EXPECT_EQ(defaultChange.messages(), endingWith("default input device changed — parent will restart capture"));

    MicRun rateChange =
        runMic(micScenario({stall, {{"at", 0.5}, {"set_sample_rate", {{"device", "mic"}, {"rate", 44100}}}}}));
    EXPECT_EQ(rateChange.child->wait(exitTimeout), 0);
    EXPECT_EQ(rateChange.messages(), endingWith("input device rate changed to 44100 Hz — parent will restart capture"));
}

TEST(MicHealth, DefaultInputChangeLeavesAChosenDeviceRunning) {
    MicRun run = runMic(micScenario({{{"at", 0.5}, {"set_default_input", "other"}}}), {"--device", "mic"});
    ASSERT_NO_FATAL_FAILURE(expectRunningPastItsEvent(run));
    // Only the rate listener was installed.
    int listeners = 0;
    for (const std::string& line : run.traceLines()) {
        if (line.rfind("AudioObjectAddPropertyListenerBlock", 0) == 0) ++listeners;
    }
    EXPECT_EQ(listeners, 1);
}

TEST(MicTeardown, FailingReleaseCallsAreLoggedAndTeardownGoesOn) {
    auto scenario = micScenario();
    scenario["faults"] = {{{"call", "AudioOutputUnitStop"}, {"status", -50}},
                          {{"call", "AudioUnitUninitialize"}, {"status", -51}},
                          {{"call", "AudioComponentInstanceDispose"}, {"status", -52}}};
    MicRun run = runMic(scenario);
    ASSERT_TRUE(run.child->waitForStderr("capture started", startTimeout));
    run.child->sendSignal(SIGTERM);
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    EXPECT_EQ(run.messages(),
              (std::vector<std::string>{started, "shutting down (SIGTERM) — stopping capture",
                                        "AudioOutputUnitStop failed (-50) — continuing teardown",
                                        "AudioUnitUninitialize failed (-51) — continuing teardown",
                                        "AudioComponentInstanceDispose failed (-52)", "capture stopped cleanly"}));
}

}  // namespace
}  // namespace tarnwick::testing::mic
