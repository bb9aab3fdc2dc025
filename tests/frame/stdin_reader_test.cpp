// The standard-input reader threads end to end, each in a child process
// (a winning shutdown ends the process): what the parent writes and closes
// on stdin, and what the child logs and how it exits.

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "frame/kit/semaphore.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "frame/stdin_channel.h"
#include "tests/frame/stderr_capture.h"

namespace tarnwick {
namespace {

using testing::logLines;
using testing::stderrIs;

// Puts a pipe holding `bytes` on file descriptor 0; closes its write end
// (end of input after the bytes) unless `keepOpen`.
void stdinFrom(const std::string& bytes, bool keepOpen = false) {
    int fds[2];
    if (::pipe(fds) != 0) ::_exit(90);
    if (::write(fds[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) ::_exit(91);
    ::dup2(fds[0], STDIN_FILENO);
    ::close(fds[0]);
    if (!keepOpen) ::close(fds[1]);
}

const std::string sys = "tarnwick-syscapture";
const std::string mic = "tarnwick-miccapture";

using SysStdinReaderDeathTest = testing::DeathTest;
using MicStdinReaderDeathTest = testing::DeathTest;

TEST_F(SysStdinReaderDeathTest, AppliesCommandsAndStopsAtEndOfInputWithoutTheUnterminatedLine) {
    EXPECT_EXIT(
        {
            setProgramName(sys);
            initShutdown(true);
            stdinFrom("idle\nidle\nhello\nrecord\r\nidle");
            sysStdinReader();
            ::_exit(7);  // a winning shutdown never returns
        },
        ::testing::ExitedWithCode(0),
        stderrIs(logLines(sys, {
                                   "idle (tap stays installed and clocking; PCM not written)",
                                   "unknown command on stdin: hello",
                                   "recording (writing PCM to stdout)",
                                   "shutting down (stdin EOF (parent stopped us)) — stopping capture",
                                   "no active capture to stop",
                               })));
}

TEST_F(SysStdinReaderDeathTest, StopsTheRegisteredCaptureOnEndOfInput) {
    EXPECT_EXIT(
        {
            setProgramName(sys);
            initShutdown(true);
            setActiveCapture([] { log("engine stopped"); });
            stdinFrom("record");
            sysStdinReader();
            ::_exit(7);
        },
        ::testing::ExitedWithCode(0),
        stderrIs(logLines(sys, {
                                   "shutting down (stdin EOF (parent stopped us)) — stopping capture",
                                   "engine stopped",
                                   "capture stopped cleanly",
                               })));
}

TEST_F(SysStdinReaderDeathTest, ReadErrorStops) {
    EXPECT_EXIT(
        {
            setProgramName(sys);
            initShutdown(true);
            ::close(STDIN_FILENO);  // read fails with EBADF
            sysStdinReader();
            ::_exit(7);
        },
        ::testing::ExitedWithCode(0),
        stderrIs(logLines(sys, {
                                   "shutting down (stdin read error) — stopping capture",
                                   "no active capture to stop",
                               })));
}

TEST_F(SysStdinReaderDeathTest, EndsWhenAnotherShutdownIsUnderWay) {
    // A SIGTERM shutdown is busy stopping the engine when end of input comes:
    // the reader's shutdown loses and the reader thread ends.
    EXPECT_EXIT(
        {
            setProgramName(sys);
            initShutdown(true);
            static kit::Semaphore stopEntered;
            static std::atomic<bool> readerReturned{false};
            setActiveCapture([] {
                stopEntered.signal();
                for (int i = 0; i < 60000 && !readerReturned.load(); ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                log(readerReturned.load() ? "reader ended" : "reader still running");
            });
            std::thread([] { shutdown("SIGTERM"); }).detach();
            stopEntered.wait();
            stdinFrom("");
            sysStdinReader();
            readerReturned = true;
            for (;;) pause();
        },
        ::testing::ExitedWithCode(0),
        stderrIs(logLines(sys, {
                                   "shutting down (SIGTERM) — stopping capture",
                                   "reader ended",
                                   "capture stopped cleanly",
                               })));
}

TEST_F(MicStdinReaderDeathTest, IgnoresEverythingUntilEndOfInput) {
    EXPECT_EXIT(
        {
            setProgramName(mic);
            initShutdown(false);
            stdinFrom("record\nidle\nanything at all\n" + std::string(10000, 'x'));
            micStdinReader();
            ::_exit(7);
        },
        ::testing::ExitedWithCode(0),
        stderrIs(logLines(mic, {
                                   "shutting down (stdin EOF (parent stopped us)) — stopping capture",
                                   "capture stopped cleanly",
                               })));
}

TEST_F(MicStdinReaderDeathTest, ReadErrorStops) {
    EXPECT_EXIT(
        {
            setProgramName(mic);
            initShutdown(false);
            ::close(STDIN_FILENO);
            micStdinReader();
            ::_exit(7);
        },
        ::testing::ExitedWithCode(0),
        stderrIs(logLines(mic, {
                                   "shutting down (stdin read error) — stopping capture",
                                   "capture stopped cleanly",
                               })));
}

TEST_F(MicStdinReaderDeathTest, KeepsGoingWhenAnotherShutdownIsUnderWay) {
    // The reader loses to a running shutdown and goes back to reading (and
    // losing) until the winner's exit; it never returns.
    EXPECT_EXIT(
        {
            setProgramName(mic);
            initShutdown(false);
            static kit::Semaphore stopEntered;
            static std::atomic<bool> readerReturned{false};
            setActiveCapture([] {
                stopEntered.signal();
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                log(readerReturned.load() ? "reader returned" : "reader still reading");
            });
            std::thread([] { shutdown("SIGINT"); }).detach();
            stopEntered.wait();
            stdinFrom("");
            micStdinReader();
            readerReturned = true;
            for (;;) pause();
        },
        ::testing::ExitedWithCode(0),
        stderrIs(logLines(mic, {
                                   "shutting down (SIGINT) — stopping capture",
                                   "reader still reading",
                                   "capture stopped cleanly",
                               })));
}

}  // namespace
}  // namespace tarnwick
