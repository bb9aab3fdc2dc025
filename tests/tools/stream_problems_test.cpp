// What both tools say about a stream that is not a capture stream.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/tools/wav_file.h"

namespace tarnwick::testing {
namespace {

std::string streamBytes(std::vector<std::int32_t> header, std::size_t pcmBytes = 0) {
    std::string s(header.size() * 4, '\0');
    std::memcpy(s.data(), header.data(), s.size());
    return s + std::string(pcmBytes, '\0');
}

struct Case {
    std::string bytes, problem;
};

TEST(StreamProblems, BothToolsNameABadHeaderAndProduceNothingFromIt) {
    const std::vector<Case> cases = {
        {std::string(10, '\1'), "short header: the stream ends after 10 bytes, a header has 24"},
        {streamBytes({48000, 2, 16, 512, 11, 0}, 64), "bits per sample is 16, not 32"},
        {streamBytes({48000, 2, 32, 512, 7, 0}, 64),
         "unknown producer 7 (5 is tarnwick-miccapture, 11 is tarnwick-syscapture)"},
        {streamBytes({48000, 100'000'000, 32, 512, 11, 0}, 4096),
         "absurd channel count 100000000 (expected 1 to 1024)"},
        {streamBytes({48000, 0, 32, 512, 5, 0}, 64), "absurd channel count 0 (expected 1 to 1024)"},
        {streamBytes({-48000, 1, 32, 512, 5, 0}, 64), "absurd sample rate -48000 Hz (expected 1 to 1000000)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.problem);
        const std::string in = writeTempFile(c.bytes, ".pcm"), out = tempPath(".wav");
        ChildProcess towav(TARNWICK_TOWAV_PROGRAM, {in, out});
        EXPECT_EQ(towav.wait(), 1);
        EXPECT_EQ(towav.stderrText(), "tarnwick-towav: " + in + ": " + c.problem + "\n");
        EXPECT_NE(::access(out.c_str(), F_OK), 0) << "a WAV file was written";

        ChildProcess info(TARNWICK_STREAMINFO_PROGRAM, {in});
        EXPECT_EQ(info.wait(), 1);
        EXPECT_EQ(info.stderrText(), "tarnwick-streaminfo: " + in + ": " + c.problem + "\n");
        auto printed = info.stdoutBytes();
        EXPECT_LE(std::count(printed.begin(), printed.end(), '\n'), 1);  // the header line at most
    }
}

TEST(StreamProblems, ATrailingPartialFrameIsNamedAndTheCompleteFramesKept) {
    const std::string in = writeTempFile(streamBytes({48000, 2, 32, 512, 11, 0}, 3 * 8 + 5), ".pcm");
    const std::string problem = ": trailing partial frame: 5 bytes after the last complete frame (a frame has 8)\n";
    const std::string out = tempPath(".wav");
    ChildProcess towav(TARNWICK_TOWAV_PROGRAM, {in, out});
    EXPECT_EQ(towav.wait(), 1);
    EXPECT_EQ(towav.stderrText(), "tarnwick-towav: " + in + problem);
    WavFile w = readWav(out);
    EXPECT_EQ(w.riffSize, w.fileSize - 8);
    EXPECT_EQ(w.factFrames, 3u);
    EXPECT_EQ(w.data.size(), 24u);

    ChildProcess info(TARNWICK_STREAMINFO_PROGRAM, {in});
    EXPECT_EQ(info.wait(), 1);
    EXPECT_EQ(info.stderrText(), "tarnwick-streaminfo: " + in + problem);
    auto printed = info.stdoutBytes();
    EXPECT_NE(std::string(printed.begin(), printed.end()).find("\naudio: 3 frames = 0.000 s\n"), std::string::npos);
}

}  // namespace
}  // namespace tarnwick::testing
