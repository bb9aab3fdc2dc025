// tarnwick-towav on real captures of the simulated system: every sample
// kept, the tone audible to an independent reader, sizes right at any end.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/sys/sys_run.h"
#include "tests/tools/wav_file.h"

namespace tarnwick::testing {
namespace {

const std::string towav = TARNWICK_TOWAV_PROGRAM;

long fileSize(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

bool waitForFileSize(const std::string& path, long bytes, double seconds = 30) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (fileSize(path) < bytes) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The writer brings the sizes up to date right after each piece of audio; a
// reader that looks in between the two tries again.
bool consistentWhileGrowing(const std::string& path) {
    for (int attempt = 0; attempt < 500; ++attempt) {
        const std::string b = readFile(path);
        if (b.size() >= 8 && detail::le(b, 4, 4) == b.size() - 8) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::string convert(const std::string& in, const std::vector<std::string>& options = {}) {
    std::string out = tempPath(".wav");
    std::vector<std::string> args = options;
    args.insert(args.end(), {in, out});
    ChildProcess tool(towav, args);
    EXPECT_EQ(tool.wait(), 0) << tool.stderrText();
    return out;
}

void expectConsistentSizes(const WavFile& w) {
    EXPECT_EQ(w.riffSize, w.fileSize - 8);
    if (w.blockAlign && w.factFrames) {
        EXPECT_EQ(w.factFrames, w.data.size() / w.blockAlign);
    }
}

TEST(ToWav, KeepsEverySampleOfACaptureAsFloatOrAsClippedPcm16) {
    SysRun run(counterScenario());
    ASSERT_TRUE(run.child().waitForStdout(24 + 8 * 4800));
    ASSERT_EQ(run.stopAndWait(), 0);
    const auto stream = run.stdoutBytes();
    const auto samples = decodeSamples(stream);
    const std::string in = writeTempFile(std::string(stream.begin(), stream.end()), ".pcm");

    const std::string out = convert(in);
    EXPECT_EQ(commandOutput("sox --i -e " + out), "Floating Point PCM\n");
    WavFile f = readWav(out);
    expectConsistentSizes(f);
    EXPECT_EQ(f.formatTag, 3);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.sampleRate, 48000u);
    EXPECT_EQ(f.byteRate, 48000u * 8);
    EXPECT_EQ(f.blockAlign, 8);
    EXPECT_EQ(f.bits, 32);
    EXPECT_EQ(f.factFrames, samples.size() / 2);
    EXPECT_TRUE(std::equal(f.data.begin(), f.data.end(), stream.begin() + 24, stream.end()));
    EXPECT_EQ(f.data.size(), stream.size() - 24);

    const std::string out16 = convert(in, {"--pcm16"});
    WavFile p = readWav(out16);
    expectConsistentSizes(p);
    EXPECT_EQ(p.formatTag, 1);
    EXPECT_EQ(p.bits, 16);
    EXPECT_EQ(p.blockAlign, 4);
    ASSERT_EQ(p.data.size(), samples.size() * 2);
    // The counter's right channel runs above 1.0, so it exercises the clipping.
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        auto expected = static_cast<std::int16_t>(std::lrint(std::clamp(samples[i], -1.0f, 1.0f) * 32767.0f));
        auto got = static_cast<std::int16_t>(p.data[2 * i] | p.data[2 * i + 1] << 8);
        mismatches += got != expected;
    }
    EXPECT_EQ(mismatches, 0u);

    // An independent reader agrees on rate, channels and length.
    EXPECT_EQ(commandOutput("sox --i -r " + out16), "48000\n");
    EXPECT_EQ(commandOutput("sox --i -c " + out16), "2\n");
    EXPECT_EQ(commandOutput("sox --i -s " + out16), std::to_string(samples.size() / 2) + "\n");
}

TEST(ToWav, FollowsARunningCaptureThroughAPipeAndThePlayedToneComesOut) {
    const std::string out = tempPath(".wav");
    ChildProcess pipeline("/bin/sh", {"-c", sysProgram() + " | " + towav + " - " + out},
                          {{"TARNWICK_AUDIO", "sim"}, {"TARNWICK_SIM_SCENARIO", ""}, {"TARNWICK_SIM_TRACE", ""}});
    // Half a second of audio is in the file while the capture still runs.
    ASSERT_TRUE(waitForFileSize(out, 58 + 48000 * 8 / 2));
    EXPECT_TRUE(consistentWhileGrowing(out));
    pipeline.closeStdin();
    ASSERT_EQ(pipeline.wait(), 0) << pipeline.stderrText();

    WavFile w = readWav(out);
    expectConsistentSizes(w);
    EXPECT_EQ(w.sampleRate, 48000u);
    // The default scenario's speakers play a 1000 Hz sine at amplitude 0.25.
    for (const char* channel : {"1", "2"}) {
        std::string stat = commandOutput("sox " + out + " -n remix " + channel + " stat");
        auto at = stat.find("Rough   frequency:");
        ASSERT_NE(at, std::string::npos) << stat;
        EXPECT_NEAR(std::stod(stat.substr(at + 18)), 1000, 20) << stat;
        at = stat.find("Maximum amplitude:");
        ASSERT_NE(at, std::string::npos) << stat;
        EXPECT_NEAR(std::stod(stat.substr(at + 18)), 0.25, 0.001) << stat;
    }
}

TEST(ToWav, AConverterStoppedMidStreamLeavesAFileWhoseSizesMatchItsData) {
    const std::string out = tempPath(".wav");
    ChildProcess tool(towav, {"--pcm16", "-", out});
    // Three channels of 16-bit PCM take the extensible WAV layout (a 68-byte header).
    std::string stream(24, '\0');
    const std::int32_t header[6] = {44100, 3, 32, 256, 11, 0};
    std::memcpy(stream.data(), header, sizeof header);
    for (int i = 0; i < 2100; ++i) {
        float sample = static_cast<float>(i) / 2100;
        stream.append(reinterpret_cast<const char*>(&sample), 4);
    }
    // Odd pieces, ending in the middle of a frame.
    for (std::size_t at = 0; at < stream.size(); at += 999) tool.writeStdin(stream.substr(at, 999));
    tool.writeStdin(std::string(5, '\x7f'));
    ASSERT_TRUE(waitForFileSize(out, 68 + 4200));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    tool.sendSignal(SIGKILL);
    tool.wait();

    WavFile w = readWav(out);
    expectConsistentSizes(w);
    EXPECT_EQ(w.formatTag, 0xFFFE);
    EXPECT_EQ(w.sampleRate, 44100u);
    ASSERT_EQ(w.data.size(), 4200u);
    EXPECT_EQ(w.data[4198] | w.data[4199] << 8, std::lrint(2099.0f / 2100 * 32767.0f));  // the last sample fed
    EXPECT_EQ(commandOutput("sox --i -c " + out), "3\n");
    EXPECT_EQ(commandOutput("sox --i -s " + out), "700\n");
}

}  // namespace
}  // namespace tarnwick::testing
