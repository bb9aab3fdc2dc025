// Digital silence from the tap while other programs play: the sign of a
// parent application that may not record system audio. Log-only: the stream
// carries exactly what the tap delivered. Each case runs for several seconds
// of real IO, so each is its own test case.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "tests/sys/sys_run.h"

namespace tarnwick::testing {
namespace {

using nlohmann::json;

std::string silenceLine(int playing) {
    return "tap delivers digital silence for 5.0 s while " + std::to_string(playing) +
           " other process(es) play audio — System Audio Recording may not be allowed for the parent application";
}

// The speakers play silence, so the tap hears zeros, until `events` say otherwise.
json silentScenario(json processes, json events) {
    json scenario = counterScenario();
    scenario["devices"][0]["signal"] = {{"kind", "silence"}};
    scenario["processes"] = std::move(processes);
    scenario["events"] = std::move(events);
    return scenario;
}

std::size_t linesStartingWith(SysRun& run, const std::string& start) {
    auto all = run.messages();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const std::string& m) { return m.rfind(start, 0) == 0; }));
}

// Index of the first trace line holding `text`, or the line count.
std::size_t traceLineWith(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<std::size_t>(
        std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }) -
        lines.begin());
}

TEST(SysSilence, ReportedWithTheCountOfPlayersThenItsEndWithTheStreamIntact) {
    SysRun run(silentScenario({{{"pid", 4242}, {"running_output", true}},
                               {{"pid", 4243}, {"running_output", true}, {"bundle_id", "com.example.player"}},
                               {{"pid", 4244}, {"running_input", true}}},
                              {{{"at", 7.5}, {"set_signal", {{"device", "spk"}, {"signal", {{"kind", "counter"}}}}}}}));
    ASSERT_TRUE(run.waitFor("capture started: "));
    // IO time never runs ahead of the clock, so 3 s in there cannot have been 5 s of silence.
    EXPECT_FALSE(run.waitFor(silenceLine(2), 3.0));
    ASSERT_TRUE(run.waitFor(silenceLine(2)));
    ASSERT_TRUE(run.waitFor("tap delivers audio again after "));
    ASSERT_TRUE(run.child().waitForStdout(24 + 8 * 48000 * 9, 30));
    EXPECT_EQ(run.stopAndWait(), 0);

    EXPECT_EQ(run.count(silenceLine(2)), 1u);
    EXPECT_EQ(linesStartingWith(run, "tap delivers"), 2u);
    for (const auto& m : run.messages()) {
        if (m.rfind("tap delivers audio again after ", 0) != 0) continue;
        EXPECT_TRUE(std::regex_match(m, std::regex("tap delivers audio again after [0-9]+\\.[0-9] s of digital silence")))
            << m;
        // The silent run, in IO time: at least the 5 s reported, at most the 7.5 s before the sound.
        const double seconds = std::stod(m.substr(31));
        EXPECT_GE(seconds, 5.0) << m;
        EXPECT_LE(seconds, 7.5) << m;
    }
    // Zeros, then the counter with no frame lost, repeated or altered.
    auto samples = decodeSamples(run.stdoutBytes());
    auto firstSound = std::find_if(samples.begin(), samples.end(), [](float s) { return s != 0.0f; });
    ASSERT_NE(firstSound, samples.end());
    ASSERT_EQ((firstSound - samples.begin()) % 2, 0);
    EXPECT_GE(firstSound - samples.begin(), 2 * 48000 * 5);
    CounterReport report = checkCounter(std::vector<float>(firstSound, samples.end()), {0, 1});
    EXPECT_EQ(report.firstProblem, "");
    EXPECT_EQ(report.gaps, 0u);
}

TEST(SysSilence, NotReportedWhileNoOtherProcessPlays) {
    SysRun run(silentScenario({{{"pid", 4242}, {"running_input", true}}}, json::array()));
    ASSERT_TRUE(run.waitFor("capture started: "));
    run.child().writeStdin("idle\n");
    // Once 5 s of silence have passed the process list is read at every
    // decision; this program's own process, which plays the keep-alive, is
    // never counted.
    auto asked = [&] {
        auto lines = run.traceLines();
        return traceLineWith(lines, "'prs#'") < lines.size();
    };
    for (int i = 0; i < 300 && !asked(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(asked());
    std::this_thread::sleep_for(std::chrono::seconds(1));  // a few more decisions
    EXPECT_EQ(run.stopAndWait(), 0);
    EXPECT_EQ(linesStartingWith(run, "tap delivers"), 0u);
    EXPECT_EQ(run.count("idle (tap stays installed and clocking; PCM not written)"), 1u);
}

TEST(SysSilence, ReportedWhenAnotherProcessStartsPlayingDuringTheSilence) {
    SysRun run(silentScenario({{{"pid", 4242}}}, {{{"at", 7.0}, {"set_process", {{"pid", 4242}, {"running_output", true}}}}}));
    ASSERT_TRUE(run.waitFor("capture started: "));
    run.child().writeStdin("idle\n");
    ASSERT_TRUE(run.waitFor(silenceLine(1)));
    EXPECT_EQ(run.stopAndWait(), 0);
    EXPECT_EQ(linesStartingWith(run, "tap delivers"), 1u);
    // Before the process started, silence was due and nobody was playing.
    auto lines = run.traceLines();
    const std::size_t event = traceLineWith(lines, "EVENT {\"set_process\"");
    ASSERT_LT(event, lines.size());
    EXPECT_LT(traceLineWith(lines, "2000 'piro' 'glob' 0 size=4 -> 0 0"), event);
}

}  // namespace
}  // namespace tarnwick::testing
