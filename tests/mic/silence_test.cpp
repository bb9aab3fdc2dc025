// A microphone that delivers digital silence (muted, or not allowed for the
// parent application) is reported after 5 s, and its return to sound once;
// the stream carries exactly what the device delivered.

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/mic/mic_run.h"
#include "tests/support/silence_lines.h"

namespace tarnwick::testing::mic {
namespace {

const std::string silenceLine =
    "input delivers digital silence for 5.0 s — the microphone may be muted, or not allowed for the parent application";

TEST(MicSilence, ReportedThenItsEndWithTheStreamIntact) {
    nlohmann::json scenario = oneDevice(device("mic", {{"input_channels", 1}, {"signal", {{"kind", "silence"}}}}));
    scenario["events"] = {{{"at", 7.5}, {"set_signal", {{"device", "mic"}, {"signal", counterSignal()}}}}};
    MicRun run = runMic(scenario);
    ASSERT_TRUE(run.child->waitForStderr("capture started", startTimeout)) << run.child->stderrText();
    // IO time never runs ahead of the clock, so 3 s in there cannot have been 5 s of silence.
    EXPECT_FALSE(run.child->waitForStderr(silenceLine, 3.0));
    ASSERT_TRUE(run.child->waitForStderr(silenceLine, startTimeout));
    ASSERT_TRUE(run.child->waitForStderr("input delivers audio again after ", startTimeout));
    ASSERT_TRUE(run.child->waitForStdout(24 + 4 * 48000 * 9, startTimeout));
    run.child->closeStdin();
    EXPECT_EQ(run.child->wait(exitTimeout), 0);

    const auto lines = silenceLines(run.messages(), "input");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], silenceLine);
    expectSilenceEndLine(lines[1], "input", 5.0, 7.5);
    // Zeros, then the counter unbroken: every sample k·2^-20, k advancing by one.
    auto samples = decodeSamples(run.child->stdoutBytes());
    auto sound = std::find_if(samples.begin(), samples.end(), [](float s) { return s != 0.0f; });
    ASSERT_NE(sound, samples.end());
    EXPECT_GE(sound - samples.begin(), 48000 * 5);
    for (auto it = sound + 1; it != samples.end(); ++it) {
        const double step = (double(*it) - double(*(it - 1))) * 1048576.0;
        ASSERT_TRUE(step == 1.0 || step == -1048575.0) << "sample " << (it - samples.begin());
    }
}

}  // namespace
}  // namespace tarnwick::testing::mic
