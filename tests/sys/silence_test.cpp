// Digital silence from the tap while other programs play: the sign of a
// parent application that may not record system audio. Log-only: the stream
// carries exactly what the tap delivered. Each case runs for several seconds
// of real IO, so each is its own test case.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "tests/support/silence_lines.h"
#include "tests/sys/sys_run.h"

namespace tarnwick::testing {
namespace {

using nlohmann::json;

std::string silenceLine(int playing) {
    return "tap delivers digital silence for 5.0 s while " + std::to_string(playing) +
           " other process(es) play audio — System Audio Recording may not be allowed for the parent application";
}

// The speakers, and so the tap, play silence until `events` say otherwise.
SysRun silentRun(json processes, json events) {
    json scenario = counterScenario();
    scenario["devices"][0]["signal"] = {{"kind", "silence"}};
    scenario["processes"] = std::move(processes);
    scenario["events"] = std::move(events);
    return SysRun(scenario);
}

std::vector<std::string> silenceMessages(SysRun& run) { return silenceLines(run.messages(), "tap"); }

bool traceHolds(SysRun& run, const std::string& text, std::size_t* at = nullptr) {
    auto lines = run.traceLines();
    auto found = std::find_if(lines.begin(), lines.end(), [&](auto& l) { return l.find(text) != std::string::npos; });
    if (at) *at = static_cast<std::size_t>(found - lines.begin());
    return found != lines.end();
}

TEST(SysSilence, ReportedWithTheCountOfPlayersThenItsEndWithTheStreamIntact) {
    SysRun run = silentRun({{{"pid", 4242}, {"running_output", true}},
                            {{"pid", 4243}, {"running_output", true}, {"bundle_id", "com.example.player"}},
                            {{"pid", 4244}, {"running_input", true}}},
                           {{{"at", 7.5}, {"set_signal", {{"device", "spk"}, {"signal", {{"kind", "counter"}}}}}}});
    ASSERT_TRUE(run.waitFor("capture started: "));
    // IO time never runs ahead of the clock: 3 s in, there cannot have been 5 s of silence.
    EXPECT_FALSE(run.waitFor(silenceLine(2), 3.0));
    ASSERT_TRUE(run.waitFor("tap delivers audio again after "));
    ASSERT_TRUE(run.child().waitForStdout(24 + 8 * 48000 * 9, 30));
    EXPECT_EQ(run.stopAndWait(), 0);

    auto lines = silenceMessages(run);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], silenceLine(2));
    // The silent run in IO time: at least the 5 s reported, at most the 7.5 s before the sound.
    expectSilenceEndLine(lines[1], "tap", 5.0, 7.5);

    // Zeros, then the counter with no frame lost, repeated or altered.
    auto samples = decodeSamples(run.stdoutBytes());
    auto sound = std::find_if(samples.begin(), samples.end(), [](float s) { return s != 0.0f; });
    ASSERT_EQ((sound - samples.begin()) % 2, 0);
    EXPECT_GE(sound - samples.begin(), 2 * 48000 * 5);
    CounterReport report = checkCounter(std::vector<float>(sound, samples.end()), {0, 1});
    EXPECT_GT(report.frames, 0u);
    EXPECT_EQ(report.firstProblem, "");
    EXPECT_EQ(report.gaps, 0u);
}

TEST(SysSilence, NotReportedWhileNoOtherProcessPlays) {
    SysRun run = silentRun({{{"pid", 4242}, {"running_input", true}}}, json::array());
    ASSERT_TRUE(run.waitFor("capture started: "));
    run.child().writeStdin("idle\n");
    // After 5 s of silence each decision reads the process list. This
    // program's own process plays (the keep-alive) and must not count.
    for (int i = 0; i < 300 && !traceHolds(run, "'prs#'"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(traceHolds(run, "'prs#'"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(run.stopAndWait(), 0);
    EXPECT_EQ(silenceMessages(run), std::vector<std::string>{});
}

TEST(SysSilence, ReportedWhenAnotherProcessStartsPlayingDuringTheSilence) {
    SysRun run = silentRun({{{"pid", 4242}}}, {{{"at", 7.0}, {"set_process", {{"pid", 4242}, {"running_output", true}}}}});
    ASSERT_TRUE(run.waitFor("capture started: "));
    run.child().writeStdin("idle\n");
    ASSERT_TRUE(run.waitFor(silenceLine(1)));
    EXPECT_EQ(run.stopAndWait(), 0);
    EXPECT_EQ(silenceMessages(run), std::vector<std::string>{silenceLine(1)});
    // Silence was due before the process started, and nobody was playing then.
    std::size_t event = 0, quiet = 0;
    ASSERT_TRUE(traceHolds(run, "EVENT {\"set_process\"", &event));
    ASSERT_TRUE(traceHolds(run, "2000 'piro' 'glob' 0 size=4 -> 0 0", &quiet));
    EXPECT_LT(quiet, event);
}

}  // namespace
}  // namespace tarnwick::testing
