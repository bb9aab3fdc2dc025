// The Node.js example parent against the simulated system: it records both
// programs while a headset is plugged in, restarts the system-audio child on
// the new default, and leaves two WAV files that share one origin on the
// host clock, the restart's gap kept as silence.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"
#include "tests/tools/example_run.h"
#include "tests/tools/wav_file.h"

namespace tarnwick::testing {
namespace {

TEST(NodeExample, RecordsBothProgramsOnOneClockThroughARestart) {
    if (std::strlen(TARNWICK_NODE_PROGRAM) == 0) {
        if (std::getenv("CI")) FAIL() << "node is not installed (CI is set, so this is an error; run scripts/setup)";
        GTEST_SKIP() << "node is not installed";
    }
    nlohmann::json system = {
        {"devices",
         {{{"uid", "speakers"}, {"output_channels", 2}, {"sample_rate", 48000}},
          {{"uid", "headset"}, {"output_channels", 2}, {"sample_rate", 44100}},
          {{"uid", "mic"}, {"input_channels", 1}, {"sample_rate", 48000}}}},
        {"default_output", "speakers"},
        {"default_input", "mic"}};
    const std::string sysWrapper = headsetPlugInChild(system, 2.0, audioSystemName());
    const std::string micWrapper = micChild(system, audioSystemName());
    const std::string out = tempPath(".out");
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);

    ExampleRun example(TARNWICK_NODE_PROGRAM, {TARNWICK_NODE_EXAMPLE, "--seconds", "4", "--mic", micWrapper,
                                               "--sys", sysWrapper, "--out", out});
    ASSERT_EQ(example.status, 0) << example.process.stderrText();
    const auto& said = example.said;

    EXPECT_EQ(example.has("mic start 1: " + micWrapper), 1);
    EXPECT_EQ(example.has("mic start 2: " + micWrapper), 0);
    EXPECT_EQ(example.has("sys start 2: " + sysWrapper), 1);
    EXPECT_EQ(example.has("sys start 3: " + sysWrapper), 0);
    EXPECT_EQ(example.has("sys child ended with status 0 (default output device changed — parent will restart "
                          "capture): restarting in 0.25 s"),
              1);
    EXPECT_EQ(example.has("mic child ended with status 0 (stdin EOF (parent stopped us)): stopped as asked"), 1);
    EXPECT_EQ(example.has("sys child ended with status 0 (stdin EOF (parent stopped us)): stopped as asked"), 1);
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(said.back(), "done: mic 1 start(s), sys 2 start(s)");

    const WavFile mic = readWav(out + "/mic.wav"), sys = readWav(out + "/sys.wav");
    EXPECT_EQ(mic.formatTag, 3);
    EXPECT_EQ(mic.channels, 1);
    EXPECT_EQ(mic.sampleRate, 48000u);
    EXPECT_EQ(mic.bits, 32);
    EXPECT_EQ(mic.factFrames, mic.data.size() / 4);
    // The file keeps the first child's format; the 44100 Hz child is converted into it.
    EXPECT_EQ(sys.formatTag, 3);
    EXPECT_EQ(sys.channels, 2);
    EXPECT_EQ(sys.sampleRate, 48000u);
    EXPECT_EQ(sys.factFrames, sys.data.size() / 8);
    // Both files start at the parent's start and end at its stop: their
    // lengths differ by the last IO cycles at most, not by a start-up.
    const double micSeconds = double(mic.data.size()) / 4 / 48000, sysSeconds = double(sys.data.size()) / 8 / 48000;
    EXPECT_NEAR(micSeconds, sysSeconds, 0.2);
    // The time between the two system-audio children is kept, as silence.
    EXPECT_GE(longestInnerSilence(samples(sys), 2), std::size_t(0.25 * 48000));
    EXPECT_LT(longestInnerSilence(samples(mic), 1), std::size_t(0.2 * 48000));
}

}  // namespace
}  // namespace tarnwick::testing
