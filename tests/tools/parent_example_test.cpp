// The example parent application against the simulated system: the user
// plugs in a headset while system audio is captured, the child ends, the
// example restarts it on the new default and finally stops it in order; with
// the microphone alongside, it places both streams on one clock.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"
#include "tests/tools/example_run.h"
#include "tests/tools/wav_file.h"

namespace tarnwick::testing {
namespace {

TEST(ParentExample, RestartsAChildThatEndsOnADeviceChangeAndStopsItInOrder) {
    nlohmann::json system = {
        {"devices",
         {{{"uid", "speakers"}, {"output_channels", 2}, {"sample_rate", 48000}},
          {{"uid", "headset"}, {"output_channels", 2}, {"sample_rate", 44100}}}},
        {"default_output", "speakers"}};
    // The first child sees the headset arrive; later ones find it the default.
    const std::string wrapper = headsetPlugInChild(system, 2.5, "sim");

    ExampleRun example(TARNWICK_EXAMPLE_PROGRAM, {"--seconds", "3", "/bin/sh", wrapper});
    ASSERT_EQ(example.status, 0) << example.process.stderrText();
    const auto& said = example.said;

    EXPECT_EQ(example.has("start 1: /bin/sh " + wrapper), 1);
    EXPECT_EQ(example.has("start 2: /bin/sh " + wrapper), 1);
    EXPECT_EQ(example.has("start 3: /bin/sh " + wrapper), 0);
    EXPECT_EQ(example.has("header: 48000 Hz, 2 channel(s), 32-bit float, 512 frames per buffer, producer 11"), 1);
    EXPECT_EQ(example.has("header: 44100 Hz, 2 channel(s), 32-bit float, 512 frames per buffer, producer 11"), 1);
    EXPECT_EQ(example.has("child ended with status 0 (default output device changed — parent will restart capture): "
                          "restarting in 0.25 s"),
              1);
    EXPECT_EQ(example.has("sent: idle"), 1);
    EXPECT_EQ(example.has("child: [tarnwick-syscapture] idle (tap stays installed and clocking; PCM not written)"), 1);
    EXPECT_EQ(example.has("sent: record"), 1);
    EXPECT_EQ(example.has("child: [tarnwick-syscapture] recording (writing PCM to stdout)"), 1);
    EXPECT_EQ(example.has("child ended with status 0 (stdin EOF (parent stopped us)): stopped as asked"), 1);
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(said.back().rfind("done: 2 start(s), 3.", 0), 0u) << said.back();
}

TEST(ParentExample, PlacesTwoProgramsByTheirTimelineLinesThroughARestartAndAPause) {
    const nlohmann::json noise = {{"kind", "noise"}, {"amplitude", 0.25}, {"seed", 7}};
    nlohmann::json system = {
        {"devices",
         {{{"uid", "speakers"}, {"output_channels", 2}, {"sample_rate", 48000}, {"signal", noise}},
          {{"uid", "headset"}, {"output_channels", 2}, {"sample_rate", 44100}, {"signal", noise}},
          {{"uid", "mic"}, {"input_channels", 1}, {"sample_rate", 48000}, {"signal", noise}}}},
        {"default_output", "speakers"},
        {"default_input", "mic"}};
    const std::string sysWrapper = headsetPlugInChild(system, 2.0, "sim");
    const std::string micWrapper = micChild(system, "sim");
    const std::string out = tempPath(".out");
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);

    ExampleRun example(TARNWICK_EXAMPLE_PROGRAM,
                       {"--seconds", "4", "--out", out, "/bin/sh", micWrapper, "--and", "/bin/sh", sysWrapper});
    ASSERT_EQ(example.status, 0) << example.process.stderrText();
    const auto& said = example.said;
    EXPECT_EQ(example.has("1: start 2: /bin/sh " + micWrapper), 0);
    EXPECT_EQ(example.has("2: start 2: /bin/sh " + sysWrapper), 1);
    EXPECT_EQ(example.has("2: start 3: /bin/sh " + sysWrapper), 0);
    EXPECT_EQ(example.has("2: sent: idle"), 1);
    EXPECT_EQ(example.has("1: child ended with status 0 (stdin EOF (parent stopped us)): stopped as asked"), 1);
    EXPECT_EQ(example.has("2: child ended with status 0 (stdin EOF (parent stopped us)): stopped as asked"), 1);
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(said.back().rfind("done: 1: 1 start(s), ", 0), 0u) << said.back();

    const WavFile mic = readWav(out + "/mic.wav"), sys = readWav(out + "/sys.wav");
    EXPECT_EQ(mic.channels, 1);
    EXPECT_EQ(sys.channels, 2);
    ASSERT_EQ(mic.sampleRate, 48000u);
    ASSERT_EQ(sys.sampleRate, 48000u);  // the 44100 Hz child is converted into the first child's rate
    // Each timeline line here starts a stretch of audio (a child's first
    // frame, the first after the pause): the file is silent up to the frame
    // the line's time falls on, and sounds from there.
    double origin = -1;
    for (const auto& line : said) {
        if (line.rfind("origin: ", 0) == 0) origin = std::stod(line.substr(8));
    }
    ASSERT_GE(origin, 0);
    
    int placed[2] = {0, 0};
    for (const auto& line : said) {
        if (line.find("] timeline: frame ") == std::string::npos) continue;
        const int which = line.rfind("1: ", 0) == 0 ? 0 : 1;
        const double t = std::stod(line.substr(line.find(" captured at ") + 13));
        const auto frame = static_cast<std::size_t>(std::llround((t - origin) * 48000 / 1e9));
        const auto s = samples(which == 0 ? mic : sys);
        const std::size_t channels = which == 0 ? 1 : 2;
        ASSERT_LT(frame * channels + channels, s.size()) << line;
        ASSERT_GT(frame, 0u) << line;
        EXPECT_NE(s[frame * channels], 0.0f) << line;
        EXPECT_EQ(s[(frame - 1) * channels], 0.0f) << line;
        ++placed[which];
    }
    EXPECT_EQ(placed[0], 1);
    EXPECT_EQ(placed[1], 3);  // first child, after the pause, second child
    // Both files end when the parent stopped both children.
    EXPECT_NEAR(double(mic.data.size()) / 4 / 48000, double(sys.data.size()) / 8 / 48000, 0.2);
}

}  // namespace
}  // namespace tarnwick::testing
