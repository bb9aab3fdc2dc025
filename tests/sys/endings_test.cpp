// How a running capture ends: the parent's stop requests and the changes of
// the output device that ask for a fresh child. Each ends with one
// shutting-down line, an orderly teardown and status 0.

#include <gtest/gtest.h>

#include <csignal>

#include "tests/support/stop_lines.h"
#include "tests/sys/sys_run.h"

namespace tarnwick::testing {
namespace {

using nlohmann::json;

struct SignalCase {
    int signal;
    const char* reason;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.reason; }


class SysStopSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SysStopSignal, StopsInOrder) {
    SysRun run(counterScenario());
    ASSERT_TRUE(run.waitFor("capture started: "));
    run.child().sendSignal(GetParam().signal);
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(lastTwo(run.startMessages()), endLines(GetParam().reason));
    EXPECT_EQ(run.count("shutting down (" + std::string(GetParam().reason) + ") — stopping capture"), 1u);
    expectEverythingReleasedInOrder(parseTrace(run.traceLines()));
}

INSTANTIATE_TEST_SUITE_P(Signals, SysStopSignal,
                         ::testing::Values(SignalCase{SIGTERM, "SIGTERM"}, SignalCase{SIGINT, "SIGINT"}),
                         [](const auto& info) { return std::string(info.param.reason); });

TEST(SysEndings, ClosedStdoutStopsTheCapture) {
    SysRun run(counterScenario());
    ASSERT_TRUE(run.waitFor("capture started: "));
    run.child().closeStdout();
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(lastTwo(run.startMessages()), endLines("stdout closed (parent gone)"));
    EXPECT_EQ(run.count("shutting down (stdout closed (parent gone)) — stopping capture"), 1u);
    expectEverythingReleasedInOrder(parseTrace(run.traceLines()));
}

TEST(SysEndings, SignalAndEndOfInputTogetherStopOnce) {
    SysRun run(counterScenario());
    ASSERT_TRUE(run.waitFor("capture started: "));
    run.child().sendSignal(SIGTERM);
    run.child().closeStdin();
    EXPECT_EQ(run.wait(), 0);
    std::size_t shuttingDown = 0;
    for (const auto& m : run.messages()) shuttingDown += m.rfind("shutting down (", 0) == 0;
    EXPECT_EQ(shuttingDown, 1u);
    EXPECT_EQ(run.count("capture stopped cleanly"), 1u);
    expectEverythingReleasedInOrder(parseTrace(run.traceLines()));
}

TEST(SysEndings, DefaultOutputChangeAsksForAFreshChild) {
    json scenario = counterScenario();
    scenario["devices"].push_back({{"uid", "spk2"}, {"output_channels", 2}});
    scenario["default_output"] = "spk";
    scenario["events"] = {{{"at", 2.0}, {"set_default_output", "spk2"}}};
    SysRun run(scenario);
    ASSERT_TRUE(run.waitFor("capture started: "));
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(lastTwo(run.startMessages()), endLines("default output device changed — parent will restart capture"));
    expectEverythingReleasedInOrder(parseTrace(run.traceLines()));
}

// Changes after the device is bound but before the first IO cycle (a stall
// holds it back here) notify no listener yet; they still end the capture.
TEST(SysEndings, ChangesDuringTheStartAskForAFreshChildOnceStarted) {
    const json stall = {{"at", 0.0}, {"stall", {{"device", "spk"}, {"seconds", 1.2}}}};
    json scenario = counterScenario();
    scenario["devices"].push_back({{"uid", "spk2"}, {"output_channels", 2}});
    scenario["default_output"] = "spk";
    scenario["events"] = {stall, {{"at", 0.6}, {"set_default_output", "spk2"}}};
    SysRun defaultChange(scenario);
    ASSERT_TRUE(defaultChange.waitFor("capture started: "));
    EXPECT_EQ(defaultChange.wait(), 0);
    EXPECT_EQ(lastTwo(defaultChange.startMessages()),
              endLines("default output device changed — parent will restart capture"));

    scenario["events"] = {stall, {{"at", 0.6}, {"set_sample_rate", {{"device", "spk"}, {"rate", 44100}}}}};
    SysRun rateChange(scenario);
    ASSERT_TRUE(rateChange.waitFor("capture started: "));
    EXPECT_EQ(rateChange.wait(), 0);
    EXPECT_EQ(lastTwo(rateChange.startMessages()),
              endLines("output device rate changed to 44100 Hz — parent will restart capture"));
}

TEST(SysEndings, OutputRateChangeAsksForAFreshChildWithTheNewRate) {
    json scenario = counterScenario();
    scenario["events"] = {{{"at", 2.0}, {"set_sample_rate", {{"device", "spk"}, {"rate", 44100}}}}};
    SysRun run(scenario);
    ASSERT_TRUE(run.waitFor("capture started: "));
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(lastTwo(run.startMessages()),
              endLines("output device rate changed to 44100 Hz — parent will restart capture"));
    expectEverythingReleasedInOrder(parseTrace(run.traceLines()));
}

TEST(SysEndings, UnchangedRateNotificationStillEndsTheCapture) {
    json scenario = counterScenario();
    scenario["events"] = {{{"at", 2.0}, {"set_sample_rate", {{"device", "spk"}, {"rate", 48000}}}},
                          {{"at", 2.05}, {"set_default_output", nullptr}}};
    SysRun run(scenario);
    ASSERT_TRUE(run.waitFor("capture started: "));
    EXPECT_EQ(run.wait(), 0);
    // Only the first notification gets through.
    EXPECT_EQ(lastTwo(run.startMessages()),
              endLines("output device rate changed to 48000 Hz — parent will restart capture"));
    std::size_t shuttingDown = 0;
    for (const auto& m : run.messages()) shuttingDown += m.rfind("shutting down (", 0) == 0;
    EXPECT_EQ(shuttingDown, 1u);
}

TEST(SysEndings, StopDuringAStartThatWaitsForIOEndsCleanly) {
    json scenario = counterScenario();
    scenario["tap"] = {{"silent_starts", "always"}};
    SysRun run(scenario);
    ASSERT_TRUE(run.waitFor("header sent at start: 48000 Hz, 2ch, 32-bit, frame=512"));
    run.child().sendSignal(SIGTERM);
    EXPECT_EQ(run.wait(), 0);
    auto messages = run.messages();
    EXPECT_EQ(lastTwo(messages), endLines("SIGTERM"));
    for (const auto& m : messages) EXPECT_EQ(m.find("capture start failed"), std::string::npos) << m;
    expectEverythingReleasedInOrder(parseTrace(run.traceLines()));
}

TEST(SysEndings, OtherArgumentsAreIgnored) {
    SysRun run(counterScenario(), {"--device", "x", "-v"});
    ASSERT_TRUE(run.waitFor("capture started: "));
    EXPECT_EQ(run.stopAndWait(), 0);
    EXPECT_EQ(lastTwo(run.startMessages()), endLines("stdin EOF (parent stopped us)"));
}

}  // namespace
}  // namespace tarnwick::testing
