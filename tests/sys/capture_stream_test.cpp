// What a parent reads from a running tarnwick-syscapture: the header, the
// samples (bit-exact, interleaved, none lost), the record/idle gate, and the
// start lines around them.

#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <cmath>
#include <thread>

#include "tests/support/filled_counter.h"
#include "tests/support/stream_header.h"
#include "tests/sys/sys_run.h"

namespace tarnwick::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr std::size_t headerBytes = 24;

std::vector<float> wholeFrames(std::vector<float> samples, std::size_t channels) {
    samples.resize(samples.size() / channels * channels);
    return samples;
}

TEST(SysCaptureStream, CounterArrivesBitExactInterleavedWithNothingLost) {
    SysRun run(counterScenario());
    ASSERT_TRUE(run.waitFor("capture started: 48000 Hz (tap 48000 Hz), 2ch (planar)"));
    // About 0.4 s of audio.
    ASSERT_TRUE(run.child().waitForStdout(headerBytes + 8 * 48000 * 4 / 10, 30));
    ASSERT_EQ(run.stopAndWait(), 0);

    auto stream = run.stdoutBytes();
    EXPECT_TRUE(headerIs(stream, {48000, 2, sysProducer, 512}));

    auto report = checkCounter(wholeFrames(decodeSamples(stream), 2), {0, 1});
    EXPECT_EQ(report.firstProblem, "");
    EXPECT_EQ(report.gaps, 0u) << "samples were lost or repeated";
    EXPECT_GE(report.frames, 48000u * 4 / 10);

    EXPECT_EQ(run.startMessages(), (std::vector<std::string>{
                                       "keepalive: silent render started on output device 100 @ 48000 Hz",
                                       "output: 48000 Hz, buf=512; aggregate default buf=512; tap claims 48000 Hz → "
                                       "header will use 48000 Hz",
                                       "header sent at start: 48000 Hz, 2ch, 32-bit, frame=512",
                                       "capture started: 48000 Hz (tap 48000 Hz), 2ch (planar)",
                                       "shutting down (stdin EOF (parent stopped us)) — stopping capture",
                                       "capture stopped cleanly",
                                   }));
    for (int n = 1; n <= 5; ++n) EXPECT_EQ(run.count("cb " + std::to_string(n) + ": in=512f out=1024f bufs=2"), 1u);
    EXPECT_EQ(run.count("cb 6: in=512f out=1024f bufs=2"), 0u);
    expectEverythingReleasedInOrder(parseTrace(run.traceLines()));
}

TEST(SysCaptureStream, IdleStopsSamplesAndRecordResumesThem) {
    SysRun run(counterScenario());
    ASSERT_TRUE(run.waitFor("capture started: 48000 Hz (tap 48000 Hz), 2ch (planar)"));
    ASSERT_TRUE(run.child().waitForStdout(headerBytes + 8 * 4096, 30));
    run.child().writeStdin("record\n");  // already recording: no change, no line
    run.child().writeStdin("idle\nidle\n");
    ASSERT_TRUE(run.waitFor("idle (tap stays installed and clocking; PCM not written)"));

    // A cycle that read the gate before the change may still finish its write.
    std::this_thread::sleep_for(400ms);
    const auto idleBytes = run.stdoutBytes().size();
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(run.stdoutBytes().size(), idleBytes) << "PCM written while idle";

    run.child().writeStdin("record\n");
    ASSERT_TRUE(run.waitFor("recording (writing PCM to stdout)"));
    EXPECT_TRUE(run.child().waitForStdout(idleBytes + 8 * 4096, 30)) << "recording did not resume";
    ASSERT_EQ(run.stopAndWait(), 0);

    EXPECT_EQ(run.count("idle (tap stays installed and clocking; PCM not written)"), 1u);
    EXPECT_EQ(run.count("recording (writing PCM to stdout)"), 1u);
    auto report = checkCounter(wholeFrames(decodeSamples(run.stdoutBytes()), 2), {0, 1});
    EXPECT_EQ(report.firstProblem, "");
    EXPECT_EQ(report.gaps, 1u) << "the idle stretch should be the only jump in the counter";
}

// A stall of the output device: the tap's cycles skip the stalled time, and
// it comes back as silence of that length, once announced, with the counter
// after it where the device's clock puts it.
TEST(SysCaptureStream, StalledDeviceTimeBecomesSilenceOfTheSameLength) {
    json scenario = counterScenario();
    scenario["events"] = {{{"at", 1.5}, {"stall", {{"device", "spk"}, {"seconds", 2.0}}}}};
    SysRun run(scenario);
    ASSERT_TRUE(run.waitFor("capture started: 48000 Hz (tap 48000 Hz), 2ch (planar)"));
    ASSERT_TRUE(run.child().waitForStderr("tap skipped ", 30)) << run.child().stderrText();
    ASSERT_TRUE(run.child().waitForStdout(run.stdoutBytes().size() + 8 * 12000, 30));
    ASSERT_EQ(run.stopAndWait(), 0);

    auto report = checkFilledCounter(wholeFrames(decodeSamples(run.stdoutBytes()), 2), 2);
    ASSERT_TRUE(oneFilledGap(report, 96000 - 512, 96000 + 24000));
    EXPECT_EQ(run.count(filledGapLine("tap", report.silentFrames)), 1u) << ::testing::PrintToString(run.messages());
}

// One case per tap format: the channel count announced, and which device
// channels the stream carries.
struct HeaderCase {
    const char* name;
    int channels;
    bool planar;
    int announced;
    std::vector<int> carried;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }


class SysHeaderChannels : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(SysHeaderChannels, AnnouncesAndCarriesTheTapChannels) {
    const auto& c = GetParam();
    json scenario = counterScenario();
    scenario["tap"] = {{"format", {{"channels", c.channels}, {"planar", c.planar}}}};
    if (c.channels == 0) scenario["tap"]["delivered_channels"] = 1;
    SysRun run(scenario);
    ASSERT_TRUE(run.waitFor("capture started: ", 20)) << ::testing::PrintToString(run.messages());
    ASSERT_TRUE(run.child().waitForStdout(headerBytes + 4 * 4096 * c.carried.size(), 30));
    ASSERT_EQ(run.stopAndWait(), 0);

    auto header = decodeHeader(run.stdoutBytes());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->channelCount, c.announced);
    EXPECT_EQ(run.count("header sent at start: 48000 Hz, " + std::to_string(c.announced) + "ch, 32-bit, frame=512"),
              1u);
    EXPECT_EQ(run.count("capture started: 48000 Hz (tap 48000 Hz), " + std::to_string(c.channels) + "ch" +
                        (c.planar ? " (planar)" : "")),
              1u);
    auto report = checkCounter(wholeFrames(decodeSamples(run.stdoutBytes()), c.carried.size()), c.carried);
    EXPECT_EQ(report.firstProblem, "");
    EXPECT_EQ(report.gaps, 0u);
    EXPECT_EQ(run.count("WARNING: first callback channels " + std::to_string(c.carried.size()) + " differ from header " +
                        std::to_string(c.announced) + " — system.opus layout may be wrong"),
              0u);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, SysHeaderChannels,
    ::testing::Values(HeaderCase{"planar1", 1, true, 1, {0}}, HeaderCase{"planar2", 2, true, 2, {0, 1}},
                      HeaderCase{"planar6", 6, true, 2, {0, 1}}, HeaderCase{"interleaved1", 1, false, 1, {0}},
                      HeaderCase{"interleaved2", 2, false, 2, {0, 1}},
                      HeaderCase{"interleaved6", 6, false, 6, {0, 1, 2, 3, 4, 5}},
                      HeaderCase{"interleaved0", 0, false, 1, {0}}, HeaderCase{"planar0", 0, true, 1, {0}}),
    [](const auto& info) { return std::string(info.param.name); });

// Whatever a cycle delivers, the stream keeps the layout its header announced:
// otherwise the parent reads it at the wrong speed with channels mixed into
// time. The first cycle's mismatch is still reported once.
TEST(SysCaptureStream, CyclesThatDifferFromTheHeaderKeepItsLayoutAndAreReportedOnce) {
    json planar = counterScenario();
    planar["tap"] = {{"delivered_channels", 1}};
    SysRun planarRun(planar);
    json interleaved = counterScenario();
    interleaved["tap"] = {{"format", {{"channels", 2}, {"planar", false}}}, {"delivered_channels", 6}};
    SysRun interleavedRun(interleaved);
    json noChannels = counterScenario();
    noChannels["tap"] = {{"format", {{"channels", 0}, {"planar", true}}}, {"delivered_channels", 2}};
    SysRun noChannelsRun(noChannels);

    for (SysRun* run : {&planarRun, &interleavedRun, &noChannelsRun}) {
        ASSERT_TRUE(run->waitFor("capture started: "));
        ASSERT_TRUE(run->child().waitForStdout(headerBytes + 8 * 2048, 30));
        ASSERT_EQ(run->stopAndWait(), 0);
    }

    EXPECT_EQ(planarRun.count("WARNING: first callback channels 1 differ from header 2 — system.opus layout may be wrong"),
              1u);
    EXPECT_EQ(interleavedRun.count(
                  "WARNING: first callback channels 6 differ from header 2 — system.opus layout may be wrong"),
              1u);
    EXPECT_EQ(noChannelsRun.count(
                  "WARNING: first callback channels 2 differ from header 1 — system.opus layout may be wrong"),
              1u);
    ASSERT_EQ(decodeHeader(noChannelsRun.stdoutBytes())->channelCount, 1);

    // One planar buffer under a stereo header: left is the buffer, right silence.
    auto frames = wholeFrames(decodeSamples(planarRun.stdoutBytes()), 2);
    std::vector<float> left, right;
    for (std::size_t i = 0; i < frames.size(); i += 2) {
        left.push_back(frames[i]);
        right.push_back(frames[i + 1]);
    }
    EXPECT_EQ(checkCounter(left, {0}).firstProblem, "");
    EXPECT_EQ(std::count(right.begin(), right.end(), 0.0f), static_cast<long>(right.size()));
    // Six interleaved channels under a stereo header: the first two.
    EXPECT_EQ(checkCounter(wholeFrames(decodeSamples(interleavedRun.stdoutBytes()), 2), {0, 1}).firstProblem, "");
    // Two planar buffers under a mono header: the first.
    auto mono = checkCounter(decodeSamples(noChannelsRun.stdoutBytes()), {0});
    EXPECT_EQ(mono.firstProblem, "");
    EXPECT_EQ(mono.gaps, 0u);
}

TEST(SysCaptureStream, CycleLinesShowNilWithoutOutputList) {
    json scenario = counterScenario();
    scenario["tap"] = {{"output_list", false}};
    SysRun run(scenario);
    ASSERT_TRUE(run.waitFor("capture started: "));
    ASSERT_TRUE(run.waitFor("cb 5: in=512f out=nil bufs=2"));
    ASSERT_EQ(run.stopAndWait(), 0);
    for (int n = 1; n <= 5; ++n) EXPECT_EQ(run.count("cb " + std::to_string(n) + ": in=512f out=nil bufs=2"), 1u);
    EXPECT_EQ(run.count("cb 6: in=512f out=nil bufs=2"), 0u);
}

TEST(SysCaptureStream, RateLineAfterFiveHundredCycles) {
    json scenario = counterScenario();
    scenario["devices"][0]["buffer_frames"] = 64;
    scenario["tap"] = {{"aggregate_buffer_frames", 64}};
    SysRun run(scenario);
    // 500 cycles of 64 frames at 48000 Hz take about 0.67 s.
    ASSERT_TRUE(run.waitFor("callback rate after 500 calls: ", 30));
    ASSERT_EQ(run.stopAndWait(), 0);
    std::string line;
    for (auto& m : run.messages()) {
        if (m.rfind("callback rate after 500 calls: ", 0) == 0) line = m;
    }
    const std::string head = "callback rate after 500 calls: ";
    const std::string middle = "/sec, 64f each → ";
    const std::string tail = "/sec effective";
    ASSERT_EQ(line.rfind(head, 0), 0u) << line;
    const auto middleAt = line.find(middle);
    ASSERT_NE(middleAt, std::string::npos) << line;
    ASSERT_EQ(line.size() - tail.size(), line.rfind(tail)) << line;
    const std::string rateText = line.substr(head.size(), middleAt - head.size());
    const std::string effectiveText =
        line.substr(middleAt + middle.size(), line.size() - tail.size() - middleAt - middle.size());
    // "%.1f": digits, a point, one digit.
    ASSERT_GE(rateText.size(), 3u);
    EXPECT_EQ(rateText[rateText.size() - 2], '.') << rateText;
    // The effective figure comes from the unrounded rate.
    const double rate = std::stod(rateText);
    EXPECT_GT(rate, 0.0);
    EXPECT_NEAR(static_cast<double>(std::stoll(effectiveText)), rate * 64, 0.05 * 64 + 1);
}

TEST(SysCaptureStream, AggregateBufferIsCorrectedToTheOutputBuffer) {
    json scenario = counterScenario();
    scenario["devices"][0]["buffer_frames"] = 256;
    scenario["tap"] = {{"aggregate_buffer_frames", 1024}};
    SysRun run(scenario);
    ASSERT_TRUE(run.waitFor("capture started: "));
    ASSERT_TRUE(run.waitFor("cb 1: "));
    ASSERT_EQ(run.stopAndWait(), 0);
    auto messages = run.startMessages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages[1],
              "output: 48000 Hz, buf=256; aggregate default buf=1024; tap claims 48000 Hz → header will use 48000 Hz");
    EXPECT_EQ(messages[2], "aggregate buf corrected: err=0, actual=256");
    EXPECT_EQ(messages[3], "header sent at start: 48000 Hz, 2ch, 32-bit, frame=256");
    EXPECT_EQ(run.count("cb 1: in=256f out=512f bufs=2"), 1u);
    EXPECT_EQ(decodeHeader(run.stdoutBytes())->framesPerBuffer, 256);
}

TEST(SysCaptureStream, UnreadableOutputBufferSizeUses512) {
    json scenario = counterScenario();
    scenario["devices"][0]["buffer_frames"] = nullptr;
    scenario["tap"] = {{"aggregate_buffer_frames", 256}};
    SysRun run(scenario);
    ASSERT_TRUE(run.waitFor("capture started: "));
    ASSERT_EQ(run.stopAndWait(), 0);
    EXPECT_EQ(run.count("output: 48000 Hz, buf=512; aggregate default buf=256; tap claims 48000 Hz → header will use "
                        "48000 Hz"),
              1u);
    EXPECT_EQ(run.count("aggregate buf corrected: err=0, actual=512"), 1u);
    EXPECT_EQ(decodeHeader(run.stdoutBytes())->framesPerBuffer, 512);
}

TEST(SysCaptureStream, SecondAttemptWithTheSameFormatWritesNoSecondHeader) {
    json scenario = counterScenario();
    scenario["tap"] = {{"silent_starts", 1}};
    SysRun run(scenario);
    ASSERT_TRUE(run.waitFor("capture started: ", 30));
    ASSERT_TRUE(run.child().waitForStdout(headerBytes + 8 * 4096, 30));
    ASSERT_EQ(run.stopAndWait(), 0);

    EXPECT_EQ(run.startMessages(),
              (std::vector<std::string>{
                  "keepalive: silent render started on output device 100 @ 48000 Hz",
                  "output: 48000 Hz, buf=512; aggregate default buf=512; tap claims 48000 Hz → header will use 48000 Hz",
                  "header sent at start: 48000 Hz, 2ch, 32-bit, frame=512",
                  "AudioDeviceStart returned noErr but the tap delivered no IO cycle in 2.0 s — CoreAudio is not "
                  "running IO (attempt 1/2)",
                  "keepalive: silent render started on output device 100 @ 48000 Hz",
                  "output: 48000 Hz, buf=512; aggregate default buf=512; tap claims 48000 Hz → header will use 48000 Hz",
                  "capture started: 48000 Hz (tap 48000 Hz), 2ch (planar)",
                  "shutting down (stdin EOF (parent stopped us)) — stopping capture",
                  "capture stopped cleanly",
              }));
    // A second header inside the stream would break the counter.
    auto report = checkCounter(wholeFrames(decodeSamples(run.stdoutBytes()), 2), {0, 1});
    EXPECT_EQ(report.firstProblem, "");
    EXPECT_EQ(report.gaps, 0u);
    EXPECT_EQ(run.count("cb 1: in=512f out=1024f bufs=2"), 1u);

    auto trace = parseTrace(run.traceLines());
    auto made = createdObjects(trace);
    EXPECT_EQ(made.taps.size(), 2u);
    EXPECT_EQ(made.aggregates.size(), 2u);
    expectEverythingReleasedInOrder(trace);
}

}  // namespace
}  // namespace tarnwick::testing
