// Where each stream's frames lie on the host clock, as the "timeline:" lines
// state it: for the first frame, for the first frame after a resume, and
// every 10 s of stream. On the simulated system a cycle's host time is when
// its first device frame was due, so each line can be checked against the
// device frame that the stream carries at that position.

#include <gtest/gtest.h>
#include <time.h>

#include <cmath>
#include <cstdint>

#include "tests/mic/mic_run.h"
#include "tests/support/timeline_lines.h"
#include "tests/sys/sys_run.h"

namespace tarnwick::testing {
namespace {

using nlohmann::json;

constexpr std::size_t headerBytes = 24;
constexpr double counterSpan = 1048576;  // 2^20: the counter's frames before it wraps
constexpr std::int64_t nanosPerFrame48k = 1'000'000'000 / 48000;

std::int64_t monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The device frame (mod 2^20) that stream frame `frame` carries.
std::int64_t deviceFrameAt(const std::vector<float>& samples, std::size_t channels, std::uint64_t frame) {
    return std::llround(double(samples.at(frame * channels)) * counterSpan);
}

// A stream's first timeline line: frame 0, captured after the child was
// spawned and before its first bytes were seen.
void expectFirstLine(const TimelineLine& line, std::int64_t spawned, std::int64_t firstSeen) {
    EXPECT_EQ(line.frame, 0u);
    EXPECT_GE(line.nanos, spawned);
    EXPECT_LE(line.nanos, firstSeen);
}

// Nanoseconds of device time between two device frames at 48000 Hz.
std::int64_t deviceNanos(std::int64_t from, std::int64_t to) {
    const double frames = std::fmod(double(to - from) + counterSpan, counterSpan);
    return std::llround(frames * 1e9 / 48000);
}

TEST(Timeline, LinesPlaceFramesOnTheHostClockAtStartAfterAResumeAndEveryTenSeconds) {
    const std::int64_t spawned = monotonicNanos();
    SysRun sys(counterScenario());
    auto micScenario = mic::oneDevice(mic::device("mic", {{"input_channels", 1}, {"signal", mic::counterSignal()}}));
    mic::MicRun micRun = mic::runMic(micScenario);
    mic::MicRun resampled = mic::runMic(mic::oneDevice(mic::device("cd", {{"sample_rate", 44100}})));
    ChildProcess& tap = sys.child();
    ChildProcess& input = *micRun.child;

    ASSERT_TRUE(tap.waitForStderr("timeline: frame 0 captured at ", 30)) << tap.stderrText();
    ASSERT_TRUE(input.waitForStderr("timeline: frame 0 captured at ", 30)) << input.stderrText();
    const std::int64_t firstSeen = monotonicNanos();

    // Two seconds of system audio, then a pause that the microphone's
    // stream measures: a third of a second in which the tap writes nothing.
    ASSERT_TRUE(tap.waitForStdout(headerBytes + 8 * 96000, 30));
    tap.writeStdin("idle\n");
    ASSERT_TRUE(sys.waitFor("idle (tap stays installed and clocking; PCM not written)"));
    ASSERT_TRUE(input.waitForStdout(input.stdoutBytes().size() + 4 * 16000, 30));
    tap.writeStdin("record\n");
    ASSERT_TRUE(sys.waitFor("recording (writing PCM to stdout)"));

    ASSERT_TRUE(tap.waitForStderrCount("timeline: frame ", 3, 60)) << tap.stderrText();
    ASSERT_TRUE(input.waitForStderrCount("timeline: frame ", 2, 60)) << input.stderrText();
    ASSERT_TRUE(resampled.child->waitForStderrCount("timeline: frame ", 2, 60)) << resampled.child->stderrText();
    ASSERT_EQ(sys.stopAndWait(), 0);
    input.closeStdin();
    resampled.child->closeStdin();
    ASSERT_EQ(input.wait(mic::exitTimeout), 0);
    ASSERT_EQ(resampled.child->wait(mic::exitTimeout), 0);

    // System audio: frame 0, the first frame after `record`, then 10 s of
    // stream later the first frame of the cycle that reaches them.
    const auto tapLines = timelineLines(tap.stderrLines());
    ASSERT_EQ(tapLines.size(), 3u);
    const auto tapSamples = decodeSamples(tap.stdoutBytes());
    expectFirstLine(tapLines[0], spawned, firstSeen);
    const std::uint64_t resumedAt = tapLines[1].frame;
    EXPECT_GE(resumedAt, 96000u);
    EXPECT_EQ(tapLines[2].frame, resumedAt + 938 * 512) << "the first cycle at 10 s of stream, in 512-frame cycles";
    const std::int64_t tapBase = deviceFrameAt(tapSamples, 2, 0);
    for (const auto& line : tapLines) {
        EXPECT_NEAR(double(line.nanos - tapLines[0].nanos),
                    double(deviceNanos(tapBase, deviceFrameAt(tapSamples, 2, line.frame))), 1000)
            << "frame " << line.frame;
    }
    // The pause is in the device's time, not in the stream.
    EXPECT_GE(tapLines[1].nanos - tapLines[0].nanos, std::int64_t(resumedAt) * nanosPerFrame48k + 300'000'000);

    // The microphone at the stream's rate: frame 0, then the slice that
    // reaches 10 s of stream.
    const auto inputLines = timelineLines(input.stderrLines());
    ASSERT_EQ(inputLines.size(), 2u);
    const auto inputSamples = decodeSamples(input.stdoutBytes());
    expectFirstLine(inputLines[0], spawned, firstSeen);
    EXPECT_EQ(inputLines[1].frame, 938u * 512);
    EXPECT_NEAR(double(inputLines[1].nanos - inputLines[0].nanos),
                double(deviceNanos(deviceFrameAt(inputSamples, 1, 0), deviceFrameAt(inputSamples, 1, 938 * 512))),
                1000);

    // Resampled, the lines still keep 48000 stream frames to the second of
    // device time, whatever the converter holds back at the moment.
    const auto resampledLines = timelineLines(resampled.child->stderrLines());
    ASSERT_EQ(resampledLines.size(), 2u);
    EXPECT_EQ(resampledLines[0].frame, 0u);
    EXPECT_GE(resampledLines[1].frame, 480000u);
    EXPECT_NEAR(double(resampledLines[1].nanos - resampledLines[0].nanos),
                double(resampledLines[1].frame - resampledLines[0].frame) * 1e9 / 48000, 50'000);
}

}  // namespace
}  // namespace tarnwick::testing
