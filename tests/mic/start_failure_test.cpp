// Start failures: each step's own text, the exit status the parent acts on,
// and what the failed attempt left released.

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/mic/mic_run.h"
#include "tests/support/stream_header.h"

namespace tarnwick::testing::mic {
namespace {

nlohmann::json withFault(nlohmann::json scenario, const nlohmann::json& fault) {
    scenario["faults"] = nlohmann::json::array({fault});
    return scenario;
}

nlohmann::json mic(nlohmann::json fields = nlohmann::json::object()) { return device("mic", std::move(fields)); }

struct FailureCase {
    std::string name;
    nlohmann::json scenario;
    std::vector<std::string> args;
    std::vector<std::string> lines;  // the whole of stderr, without prefixes
    int status;
    // How far the unit got: 0 none created, 1 created, 2 initialised.
    int unitStage;
};

std::ostream& operator<<(std::ostream& out, const FailureCase& c) { return out << c.name; }

std::vector<FailureCase> failureCases() {
    const auto unitFault = [](int property, const char* scope, int status) {
        return withFault(oneDevice(mic()),
                         {{"call", "AudioUnitSetProperty"}, {"property", property}, {"scope", scope}, {"status", status}});
    };
    return {
        {"NoDefaultInput",
         {{"devices", {device("speakers", {{"input_channels", 0}, {"output_channels", 2}})}}},
         {},
         {"capture start failed: no default input device"},
         1, 0},
        {"DefaultInputNull",
         {{"devices", {mic()}}, {"default_input", nullptr}},
         {},
         {"capture start failed: no default input device"},
         1, 0},
        {"NoDeviceWithUID", oneDevice(mic()), {"--device", "nope"}, {"capture start failed: no input device with UID nope"}, 1, 0},
        {"UIDCaseDiffers", oneDevice(mic()), {"--device", "MIC"}, {"capture start failed: no input device with UID MIC"}, 1, 0},
        {"UIDOfOutputOnlyDevice",
         {{"devices", {mic(), device("speakers", {{"input_channels", 0}, {"output_channels", 2}})}}},
         {"--device", "speakers"},
         {"capture start failed: no input device with UID speakers"},
         1, 0},
        {"NoComponent",
         withFault(oneDevice(mic()), {{"call", "AudioComponentFindNext"}, {"null_result", true}}),
         {},
         {"capture start failed: no HALOutput audio component"},
         1, 0},
        {"InstanceNewFails",
         withFault(oneDevice(mic()), {{"call", "AudioComponentInstanceNew"}, {"status", -108}}),
         {},
         {"capture start failed: AudioComponentInstanceNew failed (-108)"},
         1, 0},
        {"InstanceNewYieldsNothing",
         withFault(oneDevice(mic()), {{"call", "AudioComponentInstanceNew"}, {"null_result", true}}),
         {},
         {"capture start failed: AudioComponentInstanceNew failed (0)"},
         1, 0},
        {"EnableInput", unitFault(2003, "input", -10879), {}, {"capture start failed: EnableIO(input) failed (-10879)"}, 1, 1},
        {"DisableOutput", unitFault(2003, "output", -10865), {}, {"capture start failed: EnableIO(output) failed (-10865)"}, 1, 1},
        {"BindDevice", unitFault(2000, "global", -10851), {}, {"capture start failed: could not bind device (-10851)"}, 1, 1},
        {"InputFormatRateZero",
         oneDevice(mic({{"unit", {{"input_format", {{"sample_rate", 0}, {"channels", 2}}}}}})),
         {},
         {"capture start failed: could not read device input format (0)"},
         1, 1},
        {"InputFormatNoChannels",
         oneDevice(mic({{"unit", {{"input_format", {{"sample_rate", 48000}, {"channels", 0}}}}}})),
         {},
         {"capture start failed: could not read device input format (0)"},
         1, 1},
        {"InputFormatUnreadable",
         withFault(oneDevice(mic()),
                   {{"call", "AudioUnitGetProperty"}, {"property", 8}, {"scope", "input"}, {"status", -10879}}),
         {},
         {"capture start failed: could not read device input format (-10879)"},
         1, 1},
        {"MaximumFramesPerSlice", unitFault(14, "global", -10867), {}, {"capture start failed: MaximumFramesPerSlice failed (-10867)"}, 1, 1},
        {"ClientFormatBothRejected",
         oneDevice(mic({{"unit", {{"rejects_interleaved", true}, {"rejects_non_interleaved", true}}}})),
         {},
         {"interleaved client format rejected (-10868) — trying non-interleaved",
          "capture start failed: could not set client format (-10868)"},
         1, 1},
        {"SetInputCallback", unitFault(2005, "global", -10877), {}, {"capture start failed: SetInputCallback failed (-10877)"}, 1, 1},
        {"Initialize",
         withFault(oneDevice(mic()), {{"call", "AudioUnitInitialize"}, {"status", -10875}}),
         {},
         {"capture start failed: AudioUnitInitialize failed (-10875)"},
         1, 1},
        {"UnitStartNotRunningIO",
         withFault(oneDevice(mic()), {{"call", "AudioOutputUnitStart"}, {"status", 2003329396}}),
         {},
         {"AudioOutputUnitStart failed (2003329396) — retry 1/3 in 150 ms",
          "AudioOutputUnitStart failed (2003329396) — retry 2/3 in 300 ms",
          "AudioOutputUnitStart failed (2003329396) — retry 3/3 in 600 ms",
          "capture start failed: AudioOutputUnitStart failed (2003329396)"},
         3, 2},
        {"UnitStartOtherError",
         withFault(oneDevice(mic()), {{"call", "AudioOutputUnitStart"}, {"status", -66681}}),
         {},
         {"AudioOutputUnitStart failed (-66681) — retry 1/3 in 150 ms",
          "AudioOutputUnitStart failed (-66681) — retry 2/3 in 300 ms",
          "AudioOutputUnitStart failed (-66681) — retry 3/3 in 600 ms",
          "capture start failed: AudioOutputUnitStart failed (-66681)"},
         1, 2},
    };
}

class MicStartFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(MicStartFailure, LogsTheStepAndExitsWithItsStatus) {
    const FailureCase& c = GetParam();
    MicRun run = runMic(c.scenario, c.args);
    EXPECT_EQ(run.child->wait(exitTimeout), c.status);
    EXPECT_EQ(run.messages(), c.lines);
    // A failed start never got as far as the header.
    EXPECT_TRUE(run.child->stdoutBytes().empty());

    // Whatever unit the attempt created was disposed of before the exit.
    auto calls = run.traceCalls();
    auto count = [&](const char* call) { return std::count(calls.begin(), calls.end(), call); };
    EXPECT_EQ(count("AudioComponentInstanceDispose"), c.unitStage >= 1 ? 1 : 0);
    // The unit never ran, so it is never stopped, and uninitialised only when
    // it was initialised.
    EXPECT_EQ(count("AudioOutputUnitStop"), 0);
    EXPECT_EQ(count("AudioUnitUninitialize"), c.unitStage >= 2 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Mic, MicStartFailure, ::testing::ValuesIn(failureCases()),
                         [](const auto& info) { return info.param.name; });

// AudioUnitInitialize failing: the unit is disposed of without being stopped
// or uninitialised, and nothing else of the audio system is touched after it.
TEST(MicStartTeardown, FailedInitializeDisposesOnly) {
    MicRun run = runMic(withFault(oneDevice(mic()), {{"call", "AudioUnitInitialize"}, {"status", -10875}}));
    EXPECT_EQ(run.child->wait(exitTimeout), 1);
    auto calls = run.traceCalls();
    auto init = std::find(calls.begin(), calls.end(), "AudioUnitInitialize");
    ASSERT_NE(init, calls.end());
    EXPECT_EQ(std::vector<std::string>(init + 1, calls.end()), std::vector<std::string>{"AudioComponentInstanceDispose"});
}

TEST(MicStartTeardown, UnitStartSucceedingOnARetryCaptures) {
    MicRun run = runMic(
        withFault(oneDevice(mic()), {{"call", "AudioOutputUnitStart"}, {"status", 2003329396}, {"times", 2}}));
    ASSERT_TRUE(run.child->waitForStderr("capture started", startTimeout));
    run.child->closeStdin();
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    auto m = run.messages();
    ASSERT_GE(m.size(), 4u);
    EXPECT_EQ(m[0], "AudioOutputUnitStart failed (2003329396) — retry 1/3 in 150 ms");
    EXPECT_EQ(m[1], "AudioOutputUnitStart failed (2003329396) — retry 2/3 in 300 ms");
    EXPECT_EQ(m[2], "AudioOutputUnitStart succeeded on retry 2");
    EXPECT_EQ(m[3], "capture started on \"mic\": device 48000 Hz 2ch → 48000 Hz 1ch (no resampling)");
}

// A unit that starts but never calls back: three attempts, each released,
// two pauses, one header, then status 3.
TEST(MicStartTeardown, SilentUnitTimesOutThreeTimes) {
    MicRun run = runMic(oneDevice(mic({{"buffer_frames", 256}, {"unit", {{"silent_starts", "always"}}}})));
    EXPECT_EQ(run.child->wait(exitTimeout), 3);
    const std::string timeout =
        "AudioOutputUnitStart returned noErr but the unit delivered no audio in 1.5 s — it is not running IO (attempt ";
    EXPECT_EQ(run.messages(), (std::vector<std::string>{
                                  timeout + "1/3)", timeout + "2/3)", timeout + "3/3)",
                                  "capture start failed: unit started but delivered no audio — CoreAudio is not "
                                  "running IO"}));
    auto out = run.child->stdoutBytes();
    ASSERT_EQ(out.size(), 24u) << "the header, once, and nothing else";
    EXPECT_TRUE(headerIs(out, {48000, 1, micProducer, 256}));

    // Each attempt's unit is stopped, uninitialised and disposed of before
    // the next one is created.
    std::vector<std::string> lifecycle;
    for (const std::string& call : run.traceCalls()) {
        if (call == "AudioComponentInstanceNew" || call == "AudioOutputUnitStart" || call == "AudioOutputUnitStop" ||
            call == "AudioUnitUninitialize" || call == "AudioComponentInstanceDispose") {
            lifecycle.push_back(call);
        }
    }
    std::vector<std::string> once{"AudioComponentInstanceNew", "AudioOutputUnitStart", "AudioOutputUnitStop",
                                  "AudioUnitUninitialize", "AudioComponentInstanceDispose"};
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), once.begin(), once.end());
    EXPECT_EQ(lifecycle, expected);
}

TEST(MicStartTeardown, UnitSilentTwiceStartsOnTheThirdAttemptWithOneHeader) {
    MicRun run = runMic(oneDevice(mic({{"signal", counterSignal()}, {"unit", {{"silent_starts", 2}}}})));
    ASSERT_TRUE(run.child->waitForStderr("capture started", startTimeout));
    ASSERT_TRUE(run.child->waitForStdout(24 + 4 * 4800, startTimeout));
    run.child->closeStdin();
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    auto m = run.messages();
    EXPECT_EQ(countStartingWith(m, "AudioOutputUnitStart returned noErr but the unit delivered no audio"), 2);
    EXPECT_EQ(countStartingWith(m, "capture started on \"mic\""), 1);
    // One header: the samples that follow it are all counter values, which a
    // second header's words would not be.
    auto samples = decodeSamples(run.child->stdoutBytes());
    ASSERT_GT(samples.size(), 4800u);
    for (std::size_t i = 1; i < samples.size(); ++i) {
        float step = samples[i] - samples[i - 1];
        ASSERT_TRUE(step == 1.0f / 1048576 || samples[i] == 0.5f) << "at " << i;
    }
}

TEST(MicStartTeardown, ClosedStdoutFailsTheHeader) {
    MicRun run = runMicWithoutStdout(oneDevice(mic()));
    EXPECT_EQ(run.child->wait(exitTimeout), 1);
    EXPECT_EQ(run.messages(), std::vector<std::string>{"capture start failed: stdout closed while writing header"});
    for (const std::string& line : run.traceLines()) {
        EXPECT_TRUE(line.find(" -> ") != std::string::npos || line.rfind("EVENT", 0) == 0) << line;
    }
    std::vector<std::string> calls;
    for (const std::string& call : run.traceCalls()) {
        if (call != "AudioUnitRender") calls.push_back(call);  // the IO thread's
    }
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"AudioOutputUnitStop", "AudioUnitUninitialize", "AudioComponentInstanceDispose"}));
}

}  // namespace
}  // namespace tarnwick::testing::mic
