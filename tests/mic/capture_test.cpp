// What reaches the parent: one header, then the device's channels averaged
// to mono at 48000 Hz, with no sample lost, duplicated or reordered.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "tests/mic/mic_run.h"
#include "tests/support/filled_counter.h"
#include "tests/support/stream_header.h"

namespace tarnwick::testing::mic {
namespace {

constexpr double counterStep = 1.0 / 1048576;  // 2^-20

// Runs until `samples` samples arrived, then ends the capture by closing stdin.
std::vector<float> capture(MicRun& run, std::size_t samples) {
    EXPECT_TRUE(run.child->waitForStderr("capture started", startTimeout)) << run.child->stderrText();
    EXPECT_TRUE(run.child->waitForStdout(24 + 4 * samples, startTimeout));
    run.child->closeStdin();
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    auto m = run.messages();
    EXPECT_GE(m.size(), 2u);
    if (m.size() >= 2) {
        EXPECT_EQ(m[m.size() - 2], "shutting down (stdin EOF (parent stopped us)) — stopping capture");
        EXPECT_EQ(m.back(), "capture stopped cleanly");
    }
    return decodeSamples(run.child->stdoutBytes());
}

// Every sample is base + k·2^-20 and k advances by exactly one (mod 2^20).
void expectUnbrokenCounter(const std::vector<float>& samples, double base) {
    ASSERT_FALSE(samples.empty());
    long previous = -1;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        double k = (samples[i] - base) / counterStep;
        ASSERT_EQ(k, std::floor(k)) << "sample " << i << " = " << samples[i] << " is not a counter value";
        ASSERT_GE(k, 0) << "sample " << i;
        ASSERT_LT(k, 1048576) << "sample " << i;
        if (previous >= 0) {
            ASSERT_EQ(long(k), (previous + 1) % 1048576) << "gap or repeat at sample " << i;
        }
        previous = long(k);
    }
}

TEST(MicCapture, StereoCounterArrivesAveragedWithoutLossOrDuplication) {
    MicRun run = runMic(oneDevice(device("counter", {{"name", "Counter"}, {"signal", counterSignal()}})));
    auto samples = capture(run, 48000);
    EXPECT_EQ(run.messages().at(0),
              "capture started on \"Counter\": device 48000 Hz 2ch → 48000 Hz 1ch (no resampling)");
    EXPECT_TRUE(headerIs(run.child->stdoutBytes(), {48000, 1, micProducer, 512}));
    // Channel c carries c + x: the average of 0 + x and 1 + x is 0.5 + x.
    expectUnbrokenCounter(samples, 0.5);
}

TEST(MicCapture, RejectedInterleavedFormatRunsPlanarWithTheSameAverage) {
    MicRun run = runMic(oneDevice(device(
        "planar", {{"name", "Planar"}, {"signal", counterSignal()}, {"unit", {{"rejects_interleaved", true}}}})));
    auto samples = capture(run, 24000);
    auto m = run.messages();
    ASSERT_GE(m.size(), 2u);
    EXPECT_EQ(m[0], "interleaved client format rejected (-10868) — trying non-interleaved");
    EXPECT_EQ(m[1], "capture started on \"Planar\": device 48000 Hz 2ch (planar) → 48000 Hz 1ch (no resampling)");
    expectUnbrokenCounter(samples, 0.5);
}

TEST(MicCapture, OneChannelDeviceIsCopiedUnscaled) {
    MicRun run = runMic(oneDevice(device("mono", {{"input_channels", 1}, {"signal", counterSignal()}})));
    auto samples = capture(run, 24000);
    expectUnbrokenCounter(samples, 0.0);
}

TEST(MicCapture, SliceOfExactlyTheLargestSizeIsRendered) {
    MicRun run = runMic(
        oneDevice(device("big", {{"input_channels", 1}, {"buffer_frames", 4096}, {"signal", counterSignal()}})));
    auto samples = capture(run, 3 * 4096);
    EXPECT_EQ(countStartingWith(run.messages(), "dropping oversized slice"), 0);
    EXPECT_EQ(decodeHeader(run.child->stdoutBytes())->framesPerBuffer, 4096);
    expectUnbrokenCounter(samples, 0.0);
}

TEST(MicCapture, SineAt44100ArrivesAt48000WithItsFrequency) {
    MicRun run = runMic(oneDevice(
        device("cd", {{"name", "CD Mic"}, {"sample_rate", 44100}, {"signal", sineSignal(1000, 0.25)}})));
    auto samples = capture(run, 96000);
    EXPECT_EQ(run.messages().at(0), "capture started on \"CD Mic\": device 44100 Hz 2ch → 48000 Hz 1ch (resampled)");
    EXPECT_EQ(decodeHeader(run.child->stdoutBytes())->sampleRate, 48000);
    // Skip the converter's warm-up, then count rising zero crossings over a
    // whole number of seconds at the output rate.
    ASSERT_GE(samples.size(), 96000u);
    const std::size_t begin = 4800, length = 48000 + 24000;
    int rising = 0;
    float peak = 0;
    for (std::size_t i = begin + 1; i < begin + length; ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) ++rising;
        peak = std::max(peak, std::fabs(samples[i]));
    }
    double frequency = rising / (double(length) / 48000);
    EXPECT_NEAR(frequency, 1000, 5);
    EXPECT_NEAR(peak, 0.25, 0.01);
}

TEST(MicCapture, FractionalRateIsResampledAndNamedWhole) {
    MicRun run = runMic(oneDevice(device("odd", {{"name", nullptr}, {"sample_rate", 22050.75},
                                                 {"buffer_frames", nullptr}, {"signal", sineSignal(440, 0.25)}})));
    auto samples = capture(run, 24000);
    EXPECT_EQ(run.messages().at(0), "capture started on \"?\": device 22050 Hz 2ch → 48000 Hz 1ch (resampled)");
    EXPECT_EQ(decodeHeader(run.child->stdoutBytes())->framesPerBuffer, 512) << "unreadable buffer size";
}

// A device that stalls mid-capture: the time it skipped comes back as one
// stretch of silence of that length, announced once, and the counter on
// either side sits where the device's clock puts it. A resampled device gets
// its silence at the stream's rate.
TEST(MicCapture, StalledDeviceTimeBecomesSilenceOfTheSameLength) {
    const nlohmann::json stall = {{"at", 1.5}, {"stall", {{"device", "mic"}, {"seconds", 2.0}}}};
    auto counter = oneDevice(device("mic", {{"input_channels", 1}, {"buffer_frames", 256}, {"signal", counterSignal()}}));
    counter["events"] = nlohmann::json::array({stall});
    auto resampled = oneDevice(device("mic", {{"sample_rate", 44100}, {"signal", sineSignal(1000, 0.25)}}));
    resampled["events"] = nlohmann::json::array({stall});
    MicRun counterRun = runMic(counter);
    MicRun resampledRun = runMic(resampled);

    std::vector<std::string> skipLines;
    for (MicRun* run : {&counterRun, &resampledRun}) {
        ASSERT_TRUE(run->child->waitForStderr("input skipped ", startTimeout + 10)) << run->child->stderrText();
        // Some audio after the gap, then stop.
        ASSERT_TRUE(run->child->waitForStdout(run->child->stdoutBytes().size() + 4 * 12000, startTimeout));
        run->child->closeStdin();
        EXPECT_EQ(run->child->wait(exitTimeout), 0);
        auto m = run->messages();
        ASSERT_EQ(countStartingWith(m, "input skipped "), 1) << run->child->stderrText();
        skipLines.push_back(*std::find_if(m.begin(), m.end(), [](auto& l) { return l.starts_with("input skipped "); }));
        EXPECT_EQ(countStartingWith(m, "no render callback for "), 1) << "the stall lines stay";
    }

    auto report = checkFilledCounter(decodeSamples(counterRun.child->stdoutBytes()), 1);
    // The stall drops the slice it begins in and resumes where the device
    // is when it ends.
    ASSERT_TRUE(oneFilledGap(report, 96000 - 256, 96000 + 24000));
    EXPECT_EQ(skipLines[0], filledGapLine("input", report.silentFrames));

    // At 44100 Hz the gap is counted in device frames and filled in stream
    // frames: the silence and the line agree to within a rounding.
    auto samples = decodeSamples(resampledRun.child->stdoutBytes());
    std::size_t longest = 0;
    for (std::size_t i = 0, run = 0; i < samples.size(); ++i) {
        run = samples[i] == 0.0f ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    const long ms = std::atol(skipLines[1].substr(std::string("input skipped ").size()).c_str());
    EXPECT_NEAR(double(longest) / 48.0, double(ms), 1.0) << skipLines[1];
    EXPECT_GE(ms, 2000 - 12);
}

}  // namespace
}  // namespace tarnwick::testing::mic
