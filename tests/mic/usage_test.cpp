// The command line: usage errors end the program before any audio exists,
// the scan is left to right, and --list acts where the scan meets it.

#include <gtest/gtest.h>

#include "tests/mic/mic_run.h"

namespace tarnwick::testing::mic {
namespace {

const std::string usageLine = "usage: tarnwick-miccapture [--device <UID>] | --list";

nlohmann::json twoMics() {
    return {{"devices", {device("first-mic", {{"name", "First"}}), device("second-mic", {{"name", "Second"}})}},
            {"default_input", "first-mic"}};
}

struct UsageCase {
    std::vector<std::string> args;
    std::string line;
};

class UsageErrors : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageErrors, OneLineStatusTwoNothingOnStdout) {
    MicRun run = runMic(twoMics(), GetParam().args);
    EXPECT_EQ(run.child->wait(exitTimeout), 2);
    EXPECT_EQ(run.messages(), std::vector<std::string>{GetParam().line});
    EXPECT_TRUE(run.child->stdoutBytes().empty());
    // The audio system was never opened.
    EXPECT_TRUE(run.traceLines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Mic, UsageErrors,
    ::testing::Values(UsageCase{{"--device"}, "--device requires a device UID"},
                      UsageCase{{"--device", "first-mic", "--device"}, "--device requires a device UID"},
                      UsageCase{{"--verbose"}, usageLine}, UsageCase{{"--bogus", "--list"}, usageLine},
                      UsageCase{{"--LIST"}, usageLine}, UsageCase{{"-device", "first-mic"}, usageLine},
                      UsageCase{{""}, usageLine}, UsageCase{{"--device", "first-mic", "extra"}, usageLine}));

TEST(MicUsage, UsageErrorsDoNotDependOnTheAudioSystem) {
    ChildProcess child(micProgram(), {"--device"}, {{"TARNWICK_AUDIO", "no-such-system"}});
    EXPECT_EQ(child.wait(exitTimeout), 2);
    EXPECT_EQ(child.stderrLines(), std::vector<std::string>{prefix + "--device requires a device UID"});
}

TEST(MicUsage, ListBeforeAnUnknownArgumentLists) {
    MicRun run = runMic(twoMics(), {"--list", "--bogus"});
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    EXPECT_TRUE(run.messages().empty());
    auto bytes = run.child->stdoutBytes();
    auto list = nlohmann::json::parse(std::string(bytes.begin(), bytes.end()));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1]["uid"], "second-mic");
}

TEST(MicUsage, DeviceGivenTwiceUsesTheLastUID) {
    MicRun run = runMic(twoMics(), {"--device", "first-mic", "--device", "second-mic"});
    ASSERT_TRUE(run.child->waitForStderr("capture started", startTimeout));
    run.child->closeStdin();
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    EXPECT_EQ(run.messages().at(0),
              "capture started on \"Second\": device 48000 Hz 2ch → 48000 Hz 1ch (no resampling)");
}

TEST(MicUsage, ListAfterDeviceIsTakenAsTheUID) {
    MicRun run = runMic(twoMics(), {"--device", "--list"});
    EXPECT_EQ(run.child->wait(exitTimeout), 1);
    EXPECT_EQ(run.messages(), std::vector<std::string>{"capture start failed: no input device with UID --list"});
    EXPECT_TRUE(run.child->stdoutBytes().empty());
}

}  // namespace
}  // namespace tarnwick::testing::mic
