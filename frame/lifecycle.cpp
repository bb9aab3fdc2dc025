// The process frame's states. One run-once decision (`shuttingDown`, taken
// on the shutdown queue) picks how the process ends: the first of a
// shutdown and a failed start takes it, and every later claimant returns.
//
//             runStart                          start() returned
//   idle ──────────────────▶ starting ─────────────────────────────▶ running
//    │                       │      │   start lock held,                │
//    │                       │      │   startingThread set              │
//    │ shutdown wins         │      │ start threw and                   │ shutdown wins
//    │ (runStart then        │      │ the failure wins                  │ (signal, stdin EOF,
//    │  starts nothing)      │      ▼                                   │  requestShutdown)
//    │                       │    failed: "capture start failed: …",    │
//    │     shutdown wins     │    stream cut after the grace, engine    │
//    │     (startWait and    │    stopped, exit 1 (3 when no IO ran)    │
//    │     startPause throw  │                                          │
//    │     StartInterrupted) │                                          │
//    ▼                       ▼                                          ▼
//   stopping: `stopping` set and the start's waits woken; takes the start
//   lock once the start has let go (not again on the starting thread
//   itself); stream cut after the grace; engine stopped once; exit 0.
//
// failStart (the audio system could not be opened) ends like `failed`, or,
// when a shutdown won first, gives way to it as a start does. Stop signals
// are held from catchStopSignals until installStopSignals hands them to the
// signal queue, whose handler is shutdown.

#include "frame/lifecycle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "frame/capture_error.h"
#include "frame/kit/serial_queue.h"
#include "frame/kit/signal_source.h"
#include "frame/log.h"
#include "frame/stream_writer.h"

namespace tarnwick {

namespace {

// How long a stop lets the parent take the PCM write in progress before it
// cuts that write short: a parent that is not reading must not hold the stop.
constexpr double streamGraceSeconds = 0.5;

// "tarnwick-miccapture" → "tarnwick.miccapture.<what>", like the engines'
// own queues, so a debugger shows whose queue it is.
std::string queueLabel(const char* what) {
    std::string label = currentProgramName();
    for (char& c : label) {
        if (c == '-') c = '.';
    }
    return label + "." + what;
}

struct ShutdownState {
    // Guards the two fields below; entered synchronously only. It exists from
    // the first use on, so a shutdown that comes before initShutdown (an IO
    // path failing very early) still has its run-once decision.
    kit::SerialQueue queue{queueLabel("shutdown")};
    bool shuttingDown = false;
    std::shared_ptr<std::function<void()>> activeCapture;
    std::atomic<bool> reportMissingCapture{false};
};

ShutdownState& state() {
    static ShutdownState* s = new ShutdownState();  // never destroyed: lives until exit
    return *s;
}

std::atomic<bool> stopping{false};  // mirrors shuttingDown for lock-free readers

// Held by the starting thread for the whole start, and by the shutdown winner
// before it stops the engine.
std::mutex& startLock() {
    static auto* m = new std::mutex();
    return *m;
}

// The thread inside runStart's start, if any. A shutdown that wins on that
// very thread already owns the start lock; taking it again would deadlock.
std::atomic<std::thread::id> startingThread{};

// Lets waits of a start end as soon as a shutdown begins.
std::mutex& wakeMutex() {
    static auto* m = new std::mutex();
    return *m;
}
std::condition_variable& wakeAll() {
    static auto* cv = new std::condition_variable();
    return *cv;
}

kit::SerialQueue& signalQueue() {
    static auto* q = new kit::SerialQueue(queueLabel("signals"));
    return *q;
}

}  // namespace

void initShutdown(bool reportMissingCapture) { state().reportMissingCapture.store(reportMissingCapture); }

void setActiveCapture(std::function<void()> stop) {
    auto& s = state();
    auto holder = std::make_shared<std::function<void()>>(std::move(stop));
    s.queue.sync([&] { s.activeCapture = holder; });
}

bool shutdownUnderWay() { return stopping.load(); }

void shutdown(std::string_view reason) {
    auto& s = state();
    bool won = false;
    std::shared_ptr<std::function<void()>> capture;
    s.queue.sync([&] {
        if (s.shuttingDown) return;
        s.shuttingDown = true;
        won = true;
        capture = s.activeCapture;
    });
    if (!won) return;
    {
        std::lock_guard lock(wakeMutex());
        stopping.store(true);
    }
    wakeAll().notify_all();

    log("shutting down (" + std::string(reason) + ") — stopping capture");
    // Wait until a start in progress has let go of the engine.
    std::unique_lock lock(startLock(), std::defer_lock);
    if (startingThread.load() != std::this_thread::get_id()) lock.lock();
    // The engine's stop waits for its IO thread, which may be blocked writing
    // to a parent that does not read.
    endStream(streamGraceSeconds);
    if (capture && *capture) {
        (*capture)();
        log("capture stopped cleanly");
    } else if (s.reportMissingCapture.load()) {
        log("no active capture to stop");
    } else {
        log("capture stopped cleanly");
    }
    exitProcess(cleanExitStatus);
}

void requestShutdown(std::string_view reason) {
    // Only the first request can matter (shutdown acts once), so later ones
    // from a failing IO path return here without allocating anything.
    static std::atomic<bool> requested{false};
    if (stopping.load() || requested.exchange(true)) return;
    kit::globalAsync([reason = std::string(reason)] { shutdown(reason); });
}

void catchStopSignals() {
    installWriteInterrupt();
    kit::catchSignals({SIGTERM, SIGINT});
}

void installStopSignals() {
    catchStopSignals();
    std::signal(SIGPIPE, SIG_IGN);
    kit::deliverCaughtSignals(signalQueue(), [](int signal) { shutdown(signal == SIGTERM ? "SIGTERM" : "SIGINT"); });
}

std::vector<std::string> frameQueueLabels() { return {state().queue.label(), signalQueue().label()}; }

void releaseStopSignals() {
    if (const int held = kit::releaseCaughtSignals()) ::raise(held);
}

namespace {

// Takes the run-once decision for a failed start: false when a shutdown
// already has it.
bool claimExitForFailedStart() {
    auto& s = state();
    bool claimed = false;
    s.queue.sync([&] {
        if (s.shuttingDown) return;
        s.shuttingDown = true;
        claimed = true;
    });
    return claimed;
}

[[noreturn]] void endFailedStart(const std::string& line, kit::FunctionRef<void()> stop, int status) {
    log(line);
    endStream(streamGraceSeconds);
    stop();
    exitProcess(status);
}

}  // namespace

void failStart(const std::string& message, int status) {
    // Off the starting thread (list and probe modes, where no stop is ever
    // delivered) the failure is always the process's end.
    if (!claimExitForFailedStart() && startingThread.load() == std::this_thread::get_id()) throw StartInterrupted{};
    log(message);
    exitProcess(status);
}

void startStdinThread(void (*body)()) { std::thread(body).detach(); }

void runStart(kit::FunctionRef<void()> start, kit::FunctionRef<void()> stop) {
    std::unique_lock lock(startLock());
    startingThread.store(std::this_thread::get_id());
    struct ClearStartingThread {
        ~ClearStartingThread() { startingThread.store(std::thread::id{}); }
    } clearStartingThread;
    // A shutdown that won before this point may have found no engine to stop
    // (it came before the engine was registered): starting one now would
    // build platform objects that nobody releases. Checked on the shutdown
    // queue, so a shutdown that wins later finds the engine registered.
    bool shutdownWon = false;
    state().queue.sync([&] { shutdownWon = state().shuttingDown; });
    try {
        if (shutdownWon) throw StartInterrupted{};
        start();
        return;
    } catch (const StartInterrupted&) {
        // The shutdown under way stops the engine once we let go of it.
    } catch (const CaptureError& error) {
        if (claimExitForFailedStart()) {
            endFailedStart("capture start failed: " + error.description(), stop,
                           error.noIO() ? noIOExitStatus : failedExitStatus);
        }
    } catch (const std::exception& error) {
        if (claimExitForFailedStart()) endFailedStart(std::string("capture start failed: ") + error.what(), stop,
                                                       failedExitStatus);
    } catch (...) {
        if (claimExitForFailedStart()) endFailedStart("capture start failed: unknown error", stop, failedExitStatus);
    }
    startingThread.store(std::thread::id{});
    lock.unlock();
    parkMainThread();
}

void parkMainThread() {
    for (;;) pause();
}

bool startWait(kit::Semaphore& semaphore, double seconds) {
    // Poll in short slices so that a shutdown is noticed within ~20 ms.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (stopping.load()) throw StartInterrupted{};
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return semaphore.tryWait();
        double slice = std::min(0.02, std::chrono::duration<double>(deadline - now).count());
        if (semaphore.waitFor(slice)) return true;
    }
}

void startPause(std::uint32_t micros) {
    std::unique_lock lock(wakeMutex());
    if (wakeAll().wait_for(lock, std::chrono::microseconds(micros), [] { return stopping.load(); })) {
        throw StartInterrupted{};
    }
}

void holdClosedStandardStreams() {
    const int modes[3] = {O_WRONLY, O_RDONLY, O_WRONLY};
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int holder = ::open("/dev/null", modes[fd]);
        if (holder < 0) continue;
        if (holder != fd) {
            ::dup2(holder, fd);
            ::close(holder);
        }
    }
}

void exitProcess(int status) { _exit(status); }

}  // namespace tarnwick
