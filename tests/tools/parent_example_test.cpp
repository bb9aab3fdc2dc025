// The example parent application against the simulated system: the user
// plugs in a headset while system audio is captured, the child ends, the
// example restarts it on the new default and finally stops it in order.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"

namespace tarnwick::testing {
namespace {

std::vector<std::string> lines(const std::vector<unsigned char>& bytes) {
    std::istringstream text(std::string(bytes.begin(), bytes.end()));
    std::vector<std::string> out;
    for (std::string line; std::getline(text, line);) out.push_back(line);
    return out;
}

TEST(ParentExample, RestartsAChildThatEndsOnADeviceChangeAndStopsItInOrder) {
    nlohmann::json system = {
        {"devices",
         {{{"uid", "speakers"}, {"output_channels", 2}, {"sample_rate", 48000}},
          {{"uid", "headset"}, {"output_channels", 2}, {"sample_rate", 44100}}}},
        {"default_output", "speakers"}};
    nlohmann::json plugIn = system;
    plugIn["events"] = {{{"at", 2.5}, {"set_default_output", "headset"}}};
    nlohmann::json settled = system;
    settled["default_output"] = "headset";
    // The first child sees the headset arrive; later ones find it the default.
    const std::string marker = tempPath(".started");
    const std::string wrapper = writeTempFile(
        "if [ -e " + marker + " ]; then scenario=" + writeTempFile(settled.dump()) + "; else touch " + marker +
            "; scenario=" + writeTempFile(plugIn.dump()) + "; fi\n" +
            "TARNWICK_AUDIO=sim TARNWICK_SIM_SCENARIO=$scenario exec " + sysProgram() + "\n",
        ".sh");

    ChildProcess example(TARNWICK_EXAMPLE_PROGRAM, {"--seconds", "3", "/bin/sh", wrapper});
    ASSERT_EQ(example.wait(120), 0) << example.stderrText();
    const auto said = lines(example.stdoutBytes());
    auto has = [&](const std::string& line) { return std::count(said.begin(), said.end(), line); };

    EXPECT_EQ(has("start 1: /bin/sh " + wrapper), 1);
    EXPECT_EQ(has("start 2: /bin/sh " + wrapper), 1);
    EXPECT_EQ(has("start 3: /bin/sh " + wrapper), 0);
    EXPECT_EQ(has("header: 48000 Hz, 2 channel(s), 32-bit float, 512 frames per buffer, producer 11"), 1);
    EXPECT_EQ(has("header: 44100 Hz, 2 channel(s), 32-bit float, 512 frames per buffer, producer 11"), 1);
    EXPECT_EQ(has("child ended with status 0 (default output device changed — parent will restart capture): "
                  "restarting in 0.25 s"),
              1);
    EXPECT_EQ(has("sent: idle"), 1);
    EXPECT_EQ(has("child: [tarnwick-syscapture] idle (tap stays installed and clocking; PCM not written)"), 1);
    EXPECT_EQ(has("sent: record"), 1);
    EXPECT_EQ(has("child: [tarnwick-syscapture] recording (writing PCM to stdout)"), 1);
    EXPECT_EQ(has("child ended with status 0 (stdin EOF (parent stopped us)): stopped as asked"), 1);
    ASSERT_FALSE(said.empty());
    EXPECT_EQ(said.back().rfind("done: 2 start(s), 3.", 0), 0u) << said.back();
}

}  // namespace
}  // namespace tarnwick::testing
