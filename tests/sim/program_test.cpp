// The simulated system as a parent application meets it: through the real
// programs, selected and configured by environment variables.

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(Programs, ListingManyDevicesFinishes) {
    // Loading and listing used to grow with the square of the count, several
    // minutes for this many; the limit below catches only that, not speed.
#if defined(__SANITIZE_THREAD__)
    constexpr std::size_t count = 50000;  // each property read is many times slower here
#else
    constexpr std::size_t count = 200000;
#endif
    std::string devices;
    for (std::size_t i = 0; i < count; ++i) {
        devices += (i ? ",{\"uid\": \"d" : "{\"uid\": \"d") + std::to_string(i) + "\", \"input_channels\": 1}";
    }
    std::string scenario = tarnwick::testing::writeTempFile("{\"devices\": [" + devices + "]}");
    ChildProcess child(tarnwick::testing::micProgram(), {"--list"},
                       {{"TARNWICK_AUDIO", "sim"}, {"TARNWICK_SIM_SCENARIO", scenario}});
    ASSERT_EQ(child.wait(120), 0);
    auto stdoutBytes = child.stdoutBytes();
    auto list = nlohmann::json::parse(std::string(stdoutBytes.begin(), stdoutBytes.end()));
    ASSERT_EQ(list.size(), count);
    EXPECT_EQ(list[count - 1]["uid"], "d" + std::to_string(count - 1));
}

TEST(Programs, ControlCharactersNeverBreakALogLine) {
    // A device name from the audio system.
    std::string scenario = tarnwick::testing::writeTempFile(
        R"({"devices": [{"uid": "m", "name": "Mic\u001b]0;x\u0007\r\nfake\u0085\u2029", "input_channels": 1}]})");
    ChildProcess mic(tarnwick::testing::micProgram(), {}, {{"TARNWICK_AUDIO", "sim"}, {"TARNWICK_SIM_SCENARIO", scenario}});
    EXPECT_TRUE(mic.waitForStderr("capture started", 60));
    mic.closeStdin();
    EXPECT_EQ(mic.wait(60), 0);
    EXPECT_EQ(mic.stderrLines().at(0),
              "[tarnwick-miccapture] capture started on \"Mic\\x1b]0;x\\x07\\r\\nfake\\u0085\\u2029\": device 48000 Hz "
              "1ch → 48000 Hz 1ch (no resampling)");

    // A command from the parent, and a scenario path.
    ChildProcess sys(tarnwick::testing::sysProgram(), {}, {{"TARNWICK_AUDIO", "sim"}, {"TARNWICK_SIM_SCENARIO", ""}});
    EXPECT_TRUE(sys.waitForStderr("capture started", 60));
    sys.writeStdin("go\rred\x1b[31m\x0b\x0c\x7f\xc2\x85\xe2\x80\xa8" "end\n");
    EXPECT_TRUE(sys.waitForStderr("unknown command", 60));
    sys.closeStdin();
    EXPECT_EQ(sys.wait(60), 0);
    std::vector<std::string> lines = sys.stderrLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "[tarnwick-syscapture] unknown command on stdin: go\\rred\\x1b[31m\\x0b\\x0c\\x7f\\u0085\\u2028end"),
              lines.end());
    ChildProcess missing(tarnwick::testing::micProgram(), {"--list"},
                         {{"TARNWICK_AUDIO", "sim"}, {"TARNWICK_SIM_SCENARIO", "/nonexistent\r\nline.json"}});
    EXPECT_EQ(missing.wait(60), 1);
    EXPECT_EQ(missing.stderrLines(),
              std::vector<std::string>{"[tarnwick-miccapture] simulated audio: /nonexistent\\r\\nline.json: cannot "
                                       "read the scenario file (No such file or directory)"});
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
