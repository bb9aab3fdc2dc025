// The system-audio program's control channel: UTF-8 repair, trimming, line
// splitting with its 4096-byte bound, and the record/idle commands.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "frame/log.h"
#include "frame/stdin_channel.h"
#include "tests/frame/stderr_capture.h"

namespace tarnwick {
namespace {

using testing::StderrCapture;

const std::string fffd = "\xEF\xBF\xBD";

TEST(RepairUtf8, KeepsWellFormedText) {
    const std::string text = "record \xC2\xA0\xE2\x80\x94\xF0\x9F\x8E\xA4 \xF4\x8F\xBF\xBF";
    EXPECT_EQ(repairUtf8(text), text);
    EXPECT_EQ(repairUtf8(""), "");
}

TEST(RepairUtf8, ReplacesEachMaximalSubpartWithOneReplacementCharacter) {
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"a\x80z", "a" + fffd + "z"},                                  // stray continuation
        {"\xC0\xAF", fffd + fffd},                                     // overlong lead: never valid
        {"\xC1\xBF", fffd + fffd},
        {"\xE0\x80\x80", fffd + fffd + fffd},                          // overlong 3-byte form
        {"\xED\xA0\x80", fffd + fffd + fffd},                          // surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},               // above U+10FFFF
        {"\xF5\x80", fffd + fffd},
        {"\xFF", fffd},
        {"\xE2\x80" "idle", fffd + "idle"},                            // truncated 3-byte: one U+FFFD
        {"\xF0\x9F\x8E" "x", fffd + "x"},                              // truncated 4-byte: one U+FFFD
        {"\xF0\x9F", fffd},                                            // truncated at the end
        {"\xE2\x80\xE2\x80\x94", fffd + "\xE2\x80\x94"},               // broken byte starts a new sequence
        {"\xC3" "\xC3\xA9", fffd + "\xC3\xA9"},
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",       // the classic mixed sample
         "a" + fffd + fffd + fffd + "b" + fffd + "c" + fffd + fffd + "d"},
    };
    for (const auto& c : cases) EXPECT_EQ(repairUtf8(c.in), c.out) << "input bytes: " << c.in.size();
}

TEST(TrimWhitespace, RemovesUnicodeSpacesAndLineBreaksAtBothEndsOnly) {
    EXPECT_EQ(trimWhitespace(" \t\r\n\v\frecord\r"), "record");
    EXPECT_EQ(trimWhitespace("\xC2\xA0record\xE3\x80\x80"), "record");                  // U+00A0, U+3000
    EXPECT_EQ(trimWhitespace("\xC2\x85idle\xC2\x85"), "idle");                          // U+0085
    EXPECT_EQ(trimWhitespace("\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xA8x"        // U+1680 U+2000 U+200A U+2028
                             "\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F"),                   // U+2029 U+202F U+205F
              "x");
    EXPECT_EQ(trimWhitespace("record now"), "record now");
    EXPECT_EQ(trimWhitespace(" \t \t "), "");
    EXPECT_EQ(trimWhitespace(""), "");
    // Look-alikes that are not white space stay: zero width space U+200B,
    // U+FEFF, U+00AD, and U+FFFD from a repair.
    EXPECT_EQ(trimWhitespace("\xE2\x80\x8Bx\xEF\xBB\xBF"), "\xE2\x80\x8Bx\xEF\xBB\xBF");
    EXPECT_EQ(trimWhitespace("\xC2\xADx"), "\xC2\xADx");
    EXPECT_EQ(trimWhitespace(" " + fffd + " "), fffd);
}

std::vector<std::string> feedAll(LineSplitter& splitter, const std::string& bytes) {
    std::vector<std::string> lines;
    splitter.feed(bytes.data(), bytes.size(), [&](const std::string& line) { lines.push_back(line); });
    return lines;
}

TEST(LineSplitter, SplitsAtLineFeedsTrimsAndKeepsTheUnterminatedRest) {
    LineSplitter splitter;
    EXPECT_EQ(feedAll(splitter, "idle\nrecord\r\n  \t \nRec"), (std::vector<std::string>{"idle", "record", ""}));
    EXPECT_EQ(splitter.pending(), 3u);
    EXPECT_EQ(feedAll(splitter, "ord\r"), std::vector<std::string>{});
    EXPECT_EQ(feedAll(splitter, "\n"), std::vector<std::string>{"Record"});
    EXPECT_EQ(splitter.pending(), 0u);
    // A lone carriage return does not end a line.
    EXPECT_EQ(feedAll(splitter, "idle\rrecord\n"), std::vector<std::string>{"idle\rrecord"});
    EXPECT_EQ(feedAll(splitter, "\xFFidle\xC2\xA0\n"), std::vector<std::string>{fffd + "idle"});
}

TEST(LineSplitter, DropsAnOverlongLineAndReportsItsRemainder) {
    // 5000 bytes without a line feed in 256-byte reads, as the reader gets
    // them: the read that passes 4096 pending bytes (the 17th, 4352 bytes)
    // drops them; the last 648 bytes and the line feed form a line.
    LineSplitter splitter;
    const std::string big(5000, 'a');
    std::vector<std::string> lines;
    std::size_t maxPending = 0;
    for (std::size_t at = 0; at < big.size(); at += 256) {
        const std::size_t n = std::min<std::size_t>(256, big.size() - at);
        splitter.feed(big.data() + at, n, [&](const std::string& line) { lines.push_back(line); });
        maxPending = std::max(maxPending, splitter.pending());
    }
    EXPECT_TRUE(lines.empty());
    EXPECT_LE(maxPending, 4096u);
    EXPECT_EQ(splitter.pending(), 5000u - 17 * 256);
    splitter.feed("\nidle\n", 6, [&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(lines, (std::vector<std::string>{std::string(648, 'a'), "idle"}));
}

class HandleCommand : public ::testing::Test {
protected:
    void SetUp() override {
        setProgramName("tarnwick-syscapture");
        recordGate().exchange(true);
    }
    void TearDown() override { recordGate().exchange(true); }

    // Feeds `input` through a splitter into handleCommand; returns the log.
    static std::vector<std::string> run(const std::string& input) {
        StderrCapture capture;
        LineSplitter splitter;
        splitter.feed(input.data(), input.size(), [](const std::string& line) { handleCommand(line); });
        return capture.finishLines();
    }
};

constexpr const char* recordingLine = "[tarnwick-syscapture] recording (writing PCM to stdout)";
constexpr const char* idleLine = "[tarnwick-syscapture] idle (tap stays installed and clocking; PCM not written)";

TEST_F(HandleCommand, RecordAtStartAndRepeatedCommandsLogNothing) {
    EXPECT_TRUE(recordGate().read());
    EXPECT_EQ(run("record\n"), std::vector<std::string>{});
    EXPECT_TRUE(recordGate().read());
    EXPECT_EQ(run("idle\nidle\n"), std::vector<std::string>{idleLine});
    EXPECT_FALSE(recordGate().read());
}

TEST_F(HandleCommand, TwoCommandsInOneReadApplyInOrder) {
    EXPECT_EQ(run("idle\nrecord\n"), (std::vector<std::string>{idleLine, recordingLine}));
    EXPECT_TRUE(recordGate().read());
}

TEST_F(HandleCommand, CrLfAndWhiteSpaceLines) {
    EXPECT_EQ(run("idle\r\n \t \t\n\n\xC2\xA0record\xE3\x80\x80\xC2\x85\n"),
              (std::vector<std::string>{idleLine, recordingLine}));
}

TEST_F(HandleCommand, AnythingElseIsAnUnknownCommandAsSentButTrimmed) {
    EXPECT_EQ(run("RECORD\nIdle\nrecord now\n  idle x \t\n\xFFrecord\n"),
              (std::vector<std::string>{
                  "[tarnwick-syscapture] unknown command on stdin: RECORD",
                  "[tarnwick-syscapture] unknown command on stdin: Idle",
                  "[tarnwick-syscapture] unknown command on stdin: record now",
                  "[tarnwick-syscapture] unknown command on stdin: idle x",
                  "[tarnwick-syscapture] unknown command on stdin: " + fffd + "record",
              }));
    EXPECT_TRUE(recordGate().read());
}

TEST_F(HandleCommand, GateReadsAndWritesFromTwoThreadsAreSafe) {
    // The IO path reads the gate while the reader thread flips it.
    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    std::thread io([&] {
        while (!done.load()) {
            (void)recordGate().read();
            reads.fetch_add(1);
        }
    });
    while (reads.load() == 0) std::this_thread::yield();
    StderrCapture capture;
    for (int i = 0; i < 200; ++i) handleCommand(i % 2 == 0 ? "idle" : "record");
    done = true;
    io.join();
    EXPECT_EQ(capture.finishLines().size(), 200u);
    EXPECT_TRUE(recordGate().read());
}

}  // namespace
}  // namespace tarnwick
