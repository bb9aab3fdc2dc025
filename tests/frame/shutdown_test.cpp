// The run-once shutdown, the start under the start lock, and the stop
// signals, each in a child process since they end the process.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "frame/capture_error.h"
#include "frame/kit/semaphore.h"
#include "frame/kit/serial_queue.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "frame/retry.h"
#include "tests/frame/stderr_capture.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::logLines;
using testing::stderrIs;

const std::string mic = "tarnwick-miccapture";
const std::string sys = "tarnwick-syscapture";

using ShutdownDeathTest = testing::DeathTest;
using StartDeathTest = testing::DeathTest;
using StopSignalsDeathTest = testing::DeathTest;

// Many threads call shutdown at the same moment; the engine's stop counts its
// runs and waits until every loser has returned from its call.
void raceShutdowns() {
    setProgramName(mic);
    initShutdown(false);
    constexpr int callers = 16;
    static std::atomic<int> stops{0};
    static std::atomic<int> returned{0};
    setActiveCapture([] {
        stops.fetch_add(1);
        for (int i = 0; i < 60000 && returned.load() < callers - 1; ++i) std::this_thread::sleep_for(1ms);
        log("stop ran " + std::to_string(stops.load()) + " time(s); " + std::to_string(returned.load()) +
            " callers returned");
    });
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i) {
        threads.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < callers) std::this_thread::yield();
            shutdown("SIGTERM");
            returned.fetch_add(1);
        });
    }
    // The winner never comes back and ends the process; losers that have
    // finished must not be left unjoined at that exit (a thread leak to
    // ThreadSanitizer), so none is joinable.
    for (auto& t : threads) t.detach();
    for (;;) std::this_thread::sleep_for(1s);
}

TEST_F(ShutdownDeathTest, ConcurrentCallersLetExactlyOneThrough) {
    EXPECT_EXIT(raceShutdowns(), ::testing::ExitedWithCode(0),
                stderrIs(logLines(mic, {
                                           "shutting down (SIGTERM) — stopping capture",
                                           "stop ran 1 time(s); 15 callers returned",
                                           "capture stopped cleanly",
                                       })));
}

TEST_F(ShutdownDeathTest, WithoutCaptureTheSystemAudioProgramSaysSo) {
    EXPECT_EXIT(
        {
            setProgramName(sys);
            initShutdown(true);
            shutdown("SIGINT");
        },
        ::testing::ExitedWithCode(0),
        stderrIs(logLines(sys, {"shutting down (SIGINT) — stopping capture", "no active capture to stop"})));
}

TEST_F(ShutdownDeathTest, WithoutCaptureTheMicrophoneProgramStopsCleanly) {
    EXPECT_EXIT(
        {
            setProgramName(mic);
            initShutdown(false);
            shutdown("SIGTERM");
        },
        ::testing::ExitedWithCode(0),
        stderrIs(logLines(mic, {"shutting down (SIGTERM) — stopping capture", "capture stopped cleanly"})));
}

TEST_F(ShutdownDeathTest, QueueLabelsNameTheProgram) {
    EXPECT_EXIT(
        {
            setProgramName(sys);
            for (const auto& label : frameQueueLabels()) log(label);
            ::_exit(0);
        },
        ::testing::ExitedWithCode(0),
        stderrIs(logLines(sys, {"tarnwick.syscapture.shutdown", "tarnwick.syscapture.signals"})));
}

TEST_F(ShutdownDeathTest, TheLastRegisteredCaptureIsStopped) {
    EXPECT_EXIT(
        {
            setProgramName(sys);
            initShutdown(true);
            setActiveCapture([] { log("first"); });
            setActiveCapture([] { log("second"); });
            shutdown("stdin EOF (parent stopped us)");
        },
        ::testing::ExitedWithCode(0),
        stderrIs(logLines(sys, {"shutting down (stdin EOF (parent stopped us)) — stopping capture", "second",
                                "capture stopped cleanly"})));
}

TEST_F(ShutdownDeathTest, RequestShutdownReturnsAtOnceAndActsOnce) {
    EXPECT_EXIT(
        {
            setProgramName(mic);
            initShutdown(false);
            static kit::Semaphore release;
            setActiveCapture([] {
                release.wait();
                log("engine stopped");
            });
            // Called from a thread that must not block: both calls return
            // while the stop is still held up.
            requestShutdown("stdout closed (parent gone)");
            requestShutdown("stdout closed (parent gone)");
            std::this_thread::sleep_for(100ms);
            log("requests returned");
            release.signal();
            for (;;) pause();
        },
        ::testing::ExitedWithCode(0),
        stderrIs(logLines(mic, {"shutting down (stdout closed (parent gone)) — stopping capture",
                                "requests returned", "engine stopped", "capture stopped cleanly"})));
}

// A start blocked in `wait` while a shutdown arrives from another thread.
// The engine stops only after the start has let go of it.
void interruptedStart(void (*wait)()) {
    setProgramName(mic);
    initShutdown(false);
    static std::atomic<bool> startLeft{false};
    setActiveCapture([] { log(startLeft.load() ? "stopped after start let go" : "stopped during start"); });
    static void (*waitFn)() = nullptr;
    waitFn = wait;
    runStart(
        [] {
            struct Leave {
                ~Leave() { startLeft = true; }
            } leave;
            log("start waiting");
            std::thread([] { shutdown("SIGTERM"); }).detach();
            waitFn();
            log("start not interrupted");
        },
        [] { log("start failure path taken"); });
    log("runStart returned");
}

const std::string interruptedLog = logLines(mic, {
                                                     "start waiting",
                                                     "shutting down (SIGTERM) — stopping capture",
                                                     "stopped after start let go",
                                                     "capture stopped cleanly",
                                                 });

TEST_F(StartDeathTest, ShutdownInterruptsStartWait) {
    EXPECT_EXIT(interruptedStart([] {
                    kit::Semaphore never;
                    startWait(never, 120);
                }),
                ::testing::ExitedWithCode(0), stderrIs(interruptedLog));
}

TEST_F(StartDeathTest, ShutdownInterruptsStartPause) {
    EXPECT_EXIT(interruptedStart([] { startPause(120'000'000); }), ::testing::ExitedWithCode(0),
                stderrIs(interruptedLog));
}

TEST_F(StartDeathTest, ShutdownInterruptsTheRetryPause) {
    // startWithRetry's own pauses are start pauses too: the 150 ms pause ends
    // early and no second call is made.
    EXPECT_EXIT(interruptedStart([] {
                    // Let the shutdown get under way (and log) first.
                    for (int i = 0; i < 60000 && !shutdownUnderWay(); ++i) std::this_thread::sleep_for(1ms);
                    std::this_thread::sleep_for(500ms);
                    startWithRetry("AudioOutputUnitStart", [] { return OSStatus{-1}; });
                }),
                ::testing::ExitedWithCode(0),
                stderrIs(logLines(mic, {
                                           "start waiting",
                                           "shutting down (SIGTERM) — stopping capture",
                                           "AudioOutputUnitStart failed (-1) — retry 1/3 in 150 ms",
                                           "stopped after start let go",
                                           "capture stopped cleanly",
                                       })));
}

TEST(StartWait, ReturnsOnSignalOrTimeoutWhileNoShutdownIsUnderWay) {
    kit::Semaphore semaphore;
    EXPECT_FALSE(startWait(semaphore, 0.05));
    std::thread signaller([&] {
        std::this_thread::sleep_for(50ms);
        semaphore.signal();
    });
    EXPECT_TRUE(startWait(semaphore, 60));
    signaller.join();
    semaphore.signal();
    EXPECT_TRUE(startWait(semaphore, 0));
    EXPECT_NO_THROW(startPause(1000));
}

TEST_F(StartDeathTest, CaptureErrorWithNoIOExitsThree) {
    EXPECT_EXIT(
        {
            setProgramName(mic);
            initShutdown(false);
            runStart([] { throw CaptureError("unit started but delivered no audio — CoreAudio is not running IO", true); },
                     [] { log("engine stopped"); });
        },
        ::testing::ExitedWithCode(3),
        stderrIs(logLines(mic, {"capture start failed: unit started but delivered no audio — CoreAudio is not "
                                "running IO",
                                "engine stopped"})));
}

TEST_F(StartDeathTest, OtherFailuresExitOne) {
    EXPECT_EXIT(
        {
            setProgramName(sys);
            initShutdown(true);
            runStart([] { throw CaptureError("AudioHardwareCreateProcessTap failed (-50)"); },
                     [] { log("engine stopped"); });
        },
        ::testing::ExitedWithCode(1),
        stderrIs(logLines(sys, {"capture start failed: AudioHardwareCreateProcessTap failed (-50)", "engine stopped"})));
    EXPECT_EXIT(
        {
            setProgramName(sys);
            runStart([] { throw std::runtime_error("bad_alloc or so"); }, [] { log("engine stopped"); });
        },
        ::testing::ExitedWithCode(1),
        stderrIs(logLines(sys, {"capture start failed: bad_alloc or so", "engine stopped"})));
    EXPECT_EXIT(
        {
            setProgramName(sys);
            runStart([] { throw 42; }, [] { log("engine stopped"); });
        },
        ::testing::ExitedWithCode(1),
        stderrIs(logLines(sys, {"capture start failed: unknown error", "engine stopped"})));
}

TEST_F(StartDeathTest, ShutdownOnTheStartingThreadDoesNotDeadlock) {
    EXPECT_EXIT(
        {
            setProgramName(mic);
            initShutdown(false);
            ::alarm(60);  // a deadlock ends in SIGALRM, not a hung test
            setActiveCapture([] { log("engine stopped"); });
            runStart([] { shutdown("default input device changed — parent will restart capture"); }, [] {});
        },
        ::testing::ExitedWithCode(0),
        stderrIs(logLines(mic, {"shutting down (default input device changed — parent will restart capture) — "
                                "stopping capture",
                                "engine stopped", "capture stopped cleanly"})));
}

// SIGTERM or SIGINT sent to the process, which already runs other threads
// (as the real programs do: queues, the audio system's threads).
void stopBySignal(int signal) {
    setProgramName(sys);
    initShutdown(true);
    kit::SerialQueue earlier("test.earlier");
    std::thread busy([] {
        for (;;) std::this_thread::sleep_for(1ms);
    });
    busy.detach();
    installStopSignals();
    setActiveCapture([] { log("engine stopped"); });
    ::kill(::getpid(), signal);
    for (;;) pause();
}

TEST_F(StopSignalsDeathTest, SigtermStopsInOrder) {
    EXPECT_EXIT(stopBySignal(SIGTERM), ::testing::ExitedWithCode(0),
                stderrIs(logLines(sys, {"shutting down (SIGTERM) — stopping capture", "engine stopped",
                                        "capture stopped cleanly"})));
}

TEST_F(StopSignalsDeathTest, SigintStopsInOrder) {
    EXPECT_EXIT(stopBySignal(SIGINT), ::testing::ExitedWithCode(0),
                stderrIs(logLines(sys, {"shutting down (SIGINT) — stopping capture", "engine stopped",
                                        "capture stopped cleanly"})));
}

TEST_F(StopSignalsDeathTest, SigpipeIsIgnored) {
    EXPECT_EXIT(
        {
            setProgramName(sys);
            installStopSignals();
            int fds[2];
            if (::pipe(fds) != 0) ::_exit(90);
            ::close(fds[0]);
            const bool failed = ::write(fds[1], "x", 1) < 0 && errno == EPIPE;
            ::_exit(failed ? 0 : 5);
        },
        ::testing::ExitedWithCode(0), stderrIs(""));
}

}  // namespace
}  // namespace tarnwick
