// The probe's verdicts, and what the start does with an output device that
// is still changing, has no readable rate, or refuses the keep-alive format.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/sys/sys_run.h"

namespace tarnwick::testing {
namespace {

using nlohmann::json;

struct ProbeCase {
    std::string name;
    std::function<void(json&)> arrange;
    std::vector<std::string> args;
    std::vector<std::string> messages;
    int status;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.name; }


class SysProbe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(SysProbe, ReportsTheOutputEngineAndWritesNothing) {
    const auto& c = GetParam();
    json scenario = counterScenario();
    c.arrange(scenario);
    SysRun run(scenario, c.args);
    EXPECT_EQ(run.wait(), c.status);
    EXPECT_EQ(run.messages(), c.messages);
    EXPECT_TRUE(run.stdoutBytes().empty());
    auto trace = parseTrace(run.traceLines());
    for (const auto& unit : createdObjects(trace).units) {
        std::size_t disposed = 0;
        for (const auto& call : trace) {
            disposed += call.call == "AudioComponentInstanceDispose" && !call.args.empty() && call.args[0] == unit;
        }
        EXPECT_EQ(disposed, 1u) << unit;
    }
}

const std::string probeKeepAlive = "keepalive: silent render started on output device 100 @ 48000 Hz";

INSTANTIATE_TEST_SUITE_P(
    Outcomes, SysProbe,
    ::testing::Values(
        ProbeCase{"Healthy", [](json&) {}, {"--probe"},
                  {probeKeepAlive, "probe: output engine healthy (render callback arrived)"}, 0},
        ProbeCase{"ProbeAmongOtherArguments", [](json&) {}, {"-x", "--probe", "--device"},
                  {probeKeepAlive, "probe: output engine healthy (render callback arrived)"}, 0},
        ProbeCase{"RenderedNothing", [](json& s) { s["devices"][0]["unit"] = {{"silent_starts", "always"}}; },
                  {"--probe"},
                  {probeKeepAlive,
                   "probe: keepalive started but rendered nothing in 2.0 s — the output engine is not running IO"},
                  3},
        ProbeCase{"NoDefaultOutput", [](json& s) { s["default_output"] = nullptr; }, {"--probe"},
                  {"probe: failed: no default output device (0)"}, 1},
        ProbeCase{"UnitStartNotRunningIO",
                  [](json& s) { s["faults"] = {{{"call", "AudioOutputUnitStart"}, {"status", 2003329396}}}; },
                  {"--probe"},
                  {"keepalive: AudioOutputUnitStart failed (2003329396) — retry 1/3 in 150 ms",
                   "keepalive: AudioOutputUnitStart failed (2003329396) — retry 2/3 in 300 ms",
                   "keepalive: AudioOutputUnitStart failed (2003329396) — retry 3/3 in 600 ms",
                   "probe: failed: keepalive: AudioOutputUnitStart failed (2003329396)"},
                  3},
        ProbeCase{"UnreadableRateProbesAt48000", [](json& s) { s["devices"][0]["sample_rate"] = nullptr; },
                  {"--probe"},
                  {probeKeepAlive, "probe: output engine healthy (render callback arrived)"}, 0},
        ProbeCase{"ProbeAt44100", [](json& s) { s["devices"][0]["sample_rate"] = 44100; }, {"--probe"},
                  {"keepalive: silent render started on output device 100 @ 44100 Hz",
                   "probe: output engine healthy (render callback arrived)"},
                  0}),
    [](const auto& info) { return info.param.name; });

// Stops `run` once its capture has started, cleanly; the start said at least
// `atLeast` lines, the first of them `first`.
void expectStartSaid(SysRun& run, std::size_t atLeast, const std::vector<std::string>& first) {
    ASSERT_TRUE(run.waitFor("capture started: "));
    EXPECT_EQ(run.stopAndWait(), 0);
    const auto messages = run.startMessages();
    ASSERT_GE(messages.size(), atLeast);
    for (std::size_t i = 0; i < first.size(); ++i) EXPECT_EQ(messages[i], first[i]) << "line " << i;
}

TEST(SysSettle, DeviceWithoutRateNeverSettlesAndTheKeepAliveUses48000) {
    json scenario = counterScenario();
    scenario["devices"][0]["sample_rate"] = nullptr;
    SysRun run(scenario);
    ASSERT_TRUE(run.waitFor("output: ", 30));
    run.child().closeStdin();
    run.wait();
    auto messages = run.messages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[0], "output device did not settle (0 Hz) — proceeding anyway");
    EXPECT_EQ(messages[1], "keepalive: silent render started on output device 100 @ 48000 Hz");
    EXPECT_EQ(messages[2],
              "output: 0 Hz, buf=512; aggregate default buf=512; tap claims 48000 Hz → header will use 48000 Hz");

    // Fourteen readings of the rate before giving up (plus the attempt's own).
    std::size_t rateReads = 0;
    for (const auto& call : parseTrace(run.traceLines())) {
        if (call.call == "AudioObjectGetPropertyData" && call.args.size() >= 2 && call.args[0] == "100" &&
            call.args[1].find("nsrt") != std::string::npos) {
            ++rateReads;
        }
    }
    EXPECT_EQ(rateReads, 15u);
}

TEST(SysSettle, DeviceSwitchedDuringTheWaitIsReportedWhenItSettles) {
    json scenario = counterScenario();
    scenario["devices"].push_back(
        {{"uid", "spk2"}, {"output_channels", 2}, {"sample_rate", 44100}, {"signal", {{"kind", "counter"}}}});
    scenario["default_output"] = "spk";
    // Between the first reading (at once) and the second (150 ms later).
    scenario["events"] = {{{"at", 0.07}, {"set_default_output", "spk2"}}};
    SysRun run(scenario);
    ASSERT_NO_FATAL_FAILURE(expectStartSaid(
        run, 3,
        {"output device settled at 44100 Hz after 2 checks",
         "keepalive: silent render started on output device 101 @ 44100 Hz"}));
    EXPECT_EQ(decodeHeader(run.stdoutBytes())->sampleRate, 44100);
}

TEST(SysKeepAlive, RejectedStreamFormatIsLoggedAndTheStartGoesOn) {
    json scenario = counterScenario();
    scenario["devices"][0]["unit"] = {{"rejects_stream_format", true}};
    SysRun run(scenario);
    ASSERT_NO_FATAL_FAILURE(expectStartSaid(
        run, 2,
        {"keepalive: StreamFormat set failed (-10868) — using device default",
         "keepalive: silent render started on output device 100 @ 48000 Hz"}));
    expectEverythingReleasedInOrder(parseTrace(run.traceLines()));
}

}  // namespace
}  // namespace tarnwick::testing
