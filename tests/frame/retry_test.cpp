// startWithRetry: the retry schedule, its log lines and what it returns, with
// the pauses recorded instead of slept.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frame/log.h"
#include "frame/retry.h"
#include "tests/frame/stderr_capture.h"

namespace tarnwick {
namespace {

using testing::StderrCapture;

struct RetryRun {
    OSStatus result;
    int calls;
    std::vector<std::uint32_t> sleeps;
    std::vector<std::string> lines;
};

// Runs startWithRetry over a scripted sequence of statuses.
RetryRun runScripted(const std::string& label, std::vector<OSStatus> statuses) {
    setProgramName("tarnwick-miccapture");
    RetryRun run{};
    StderrCapture capture;
    std::size_t next = 0;
    run.result = startWithRetry(
        label,
        [&]() -> OSStatus {
            ++run.calls;
            return next < statuses.size() ? statuses[next++] : 0;
        },
        [&](std::uint32_t micros) { run.sleeps.push_back(micros); });
    run.lines = capture.finishLines();
    return run;
}

TEST(StartWithRetry, ImmediateSuccessIsSilent) {
    RetryRun run = runScripted("AudioOutputUnitStart", {0});
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.calls, 1);
    EXPECT_TRUE(run.sleeps.empty());
    EXPECT_TRUE(run.lines.empty());
}

TEST(StartWithRetry, OneFailureThenSuccess) {
    RetryRun run = runScripted("AudioDeviceStart", {-50, 0});
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.calls, 2);
    EXPECT_EQ(run.sleeps, (std::vector<std::uint32_t>{150000}));
    EXPECT_EQ(run.lines, (std::vector<std::string>{
                             "[tarnwick-miccapture] AudioDeviceStart failed (-50) — retry 1/3 in 150 ms",
                             "[tarnwick-miccapture] AudioDeviceStart succeeded on retry 1",
                         }));
}

TEST(StartWithRetry, SuccessOnTheLastRetry) {
    RetryRun run = runScripted("keepalive: AudioOutputUnitStart", {1, 2, 3, 0});
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.calls, 4);
    ASSERT_EQ(run.lines.size(), 4u);
    EXPECT_EQ(run.lines[3], "[tarnwick-miccapture] keepalive: AudioOutputUnitStart succeeded on retry 3");
}

TEST(StartWithRetry, FourFailuresReturnTheLastStatusEachLineItsOwn) {
    RetryRun run = runScripted("AudioOutputUnitStart", {2003329396, -10868, 561211770, 2003329396});
    EXPECT_EQ(run.result, 2003329396);
    EXPECT_EQ(run.calls, 4);
    EXPECT_EQ(run.sleeps, (std::vector<std::uint32_t>{150000, 300000, 600000}));
    EXPECT_EQ(run.lines,
              (std::vector<std::string>{
                  "[tarnwick-miccapture] AudioOutputUnitStart failed (2003329396) — retry 1/3 in 150 ms",
                  "[tarnwick-miccapture] AudioOutputUnitStart failed (-10868) — retry 2/3 in 300 ms",
                  "[tarnwick-miccapture] AudioOutputUnitStart failed (561211770) — retry 3/3 in 600 ms",
              }));
}

}  // namespace
}  // namespace tarnwick
