// The simulated system as a parent application meets it: through the real
// programs, selected and configured by environment variables.

#include <gtest/gtest.h>

#include <cmath>

#include "tests/sim/sim_test_support.h"
#include "tests/support/child_process.h"

namespace tarnwick::sim::testing {
namespace {

using tarnwick::testing::ChildProcess;

TEST(Programs, UnusableScenarioEndsWithOneLineAndStatus1) {
    std::string scenario = tarnwick::testing::writeTempFile(R"({"devices": [{"uid": "mic", "sample_rat": 1}]})");
    for (const std::string& program : {tarnwick::testing::micProgram(), tarnwick::testing::sysProgram()}) {
        ChildProcess child(program, {}, {{"TARNWICK_AUDIO", tarnwick::testing::audioSystemName()}, {"TARNWICK_SIM_SCENARIO", scenario}});
        EXPECT_EQ(child.wait(60), 1);
        std::string name = program == tarnwick::testing::micProgram() ? "tarnwick-miccapture" : "tarnwick-syscapture";
        EXPECT_EQ(child.stderrLines(), std::vector<std::string>{"[" + name + "] simulated audio: " + scenario +
                                                                ": devices[0]: unknown key \"sample_rat\""});
        EXPECT_TRUE(child.stdoutBytes().empty());
    }
}

TEST(Programs, ListingReleasesEveryStringItRead) {
    std::string trace = tempTracePath();
    ChildProcess child(tarnwick::testing::micProgram(), {"--list"},
                       {{"TARNWICK_AUDIO", tarnwick::testing::audioSystemName()}, {"TARNWICK_SIM_SCENARIO", ""}, {"TARNWICK_SIM_TRACE", trace}});
    ASSERT_EQ(child.wait(60), 0);
    auto stdoutBytes = child.stdoutBytes();
    auto list = nlohmann::json::parse(std::string(stdoutBytes.begin(), stdoutBytes.end()));
    ASSERT_EQ(list.size(), 2u);  // the default scenario's two microphones
    EXPECT_EQ(list[0]["uid"], "sim-mic");
    EXPECT_EQ(list[1]["uid"], "sim-usb-mic");
    std::size_t made = 0, released = 0;
    for (const auto& line : readLines(trace)) {
        if (line.find(" -> 0 str#") != std::string::npos) ++made;
        if (line.rfind("CFRelease str#", 0) == 0 && line.ends_with(" -> 0")) ++released;
    }
    EXPECT_GT(made, 0u);
    EXPECT_EQ(made, released);
}

TEST(Programs, CounterMicrophoneArrivesWithoutALostSample) {
    std::string scenario = tarnwick::testing::writeTempFile(
        R"({"devices": [{"uid": "counter", "input_channels": 1, "sample_rate": 48000, "buffer_frames": 480,
                         "signal": {"kind": "counter"}}]})");
    ChildProcess child(tarnwick::testing::micProgram(), {},
                       {{"TARNWICK_AUDIO", tarnwick::testing::audioSystemName()}, {"TARNWICK_SIM_SCENARIO", scenario}});
    ASSERT_TRUE(child.waitForStdout(24 + 4 * 48000, 60));  // a second of audio
    child.closeStdin();
    ASSERT_EQ(child.wait(60), 0);
    std::vector<float> samples = tarnwick::testing::decodeSamples(child.stdoutBytes());
    ASSERT_GE(samples.size(), 48000u);
    for (std::size_t i = 1; i < samples.size(); ++i) {
        // Consecutive device frames: one step of 2^-20, wrapping at 1.
        double step = std::fmod(samples[i] - samples[i - 1] + 1.0, 1.0);
        ASSERT_EQ(step, 1.0 / (1 << 20)) << "at sample " << i;
    }
}

}  // namespace
}  // namespace tarnwick::sim::testing
