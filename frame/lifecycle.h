#pragma once
// The process frame: the run-once orderly stop, the start sequence with its
// failure handling, and the stop signals.
//
// A stop that arrives while `start` is still running does not race it on
// engine state: the start runs under the frame's start lock, the winning
// shutdown takes that lock before it stops the engine, and the waits and
// pauses of a start (startWait, startPause) end early with StartInterrupted
// once a shutdown is under way. So the engine is stopped exactly once, after
// the start has let go of it, and promptly.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "frame/exit_statuses.h"
#include "frame/kit/function_ref.h"
#include "frame/kit/semaphore.h"

namespace tarnwick {

// Thrown by startWait/startPause when a shutdown began during the start.
struct StartInterrupted {};

// Step 2 of the entry: the shutdown state. With `reportMissingCapture` a
// shutdown that finds no registered engine logs "no active capture to stop";
// without it, it logs "capture stopped cleanly" all the same.
void initShutdown(bool reportMissingCapture);

// Registers the engine that shutdown stops (replacing any earlier one).
void setActiveCapture(std::function<void()> stop);

// The one road to a clean exit: the first caller logs, stops the engine and
// exits with status 0; every later caller returns at once.
void shutdown(std::string_view reason);

// For threads that must not block: hands the shutdown to the global queue
// and returns at once.
void requestShutdown(std::string_view reason);

// True once a shutdown call has won.
bool shutdownUnderWay();

// First thing in main (after holdClosedStandardStreams and setProgramName):
// takes SIGTERM and SIGINT over at once and holds what arrives until
// installStopSignals, so that a stop sent right after the parent started us
// is served in order rather than killing the process half started.
void catchStopSignals();

// Ignores SIGPIPE and delivers SIGTERM and SIGINT (those held since
// catchStopSignals first) to a serial signal queue, whose handlers call
// shutdown("SIGTERM") and shutdown("SIGINT").
void installStopSignals();

// The labels of the frame's own queues, shutdown then signals; like the
// engines' queues they name the program ("tarnwick.miccapture.shutdown").
std::vector<std::string> frameQueueLabels();

// For the one-shot modes, which keep the signal handling the process
// inherited: puts it back, and lets a stop held meanwhile take that effect.
void releaseStopSignals();

// Ends a start that failed before the engine ran (the audio system could not
// be chosen or opened) with `message` and `status`, unless a shutdown already
// won: then the start gives way to it (StartInterrupted on the starting
// thread), so the process ends either as a failed start or as an orderly
// stop, never as a mixture of both.
[[noreturn]] void failStart(const std::string& message, int status);

// Starts the thread that runs `body` (the standard-input reader); never joined.
void startStdinThread(void (*body)());

// Runs the engine's start on this thread under the start lock. On success
// returns. On a thrown error: logs "capture start failed: <text>", calls
// `stop` and exits 3 (CaptureError with noIO) or 1 — unless a shutdown is
// already under way, in which case that shutdown finishes the process. The
// failure takes the shutdown's run-once decision, so a stop that comes after
// it returns at once instead of logging.
void runStart(kit::FunctionRef<void()> start, kit::FunctionRef<void()> stop);

// Parks the main thread for the rest of the process's life.
[[noreturn]] void parkMainThread();

// Waits on `semaphore` for at most `seconds`: true when signalled in time.
// Throws StartInterrupted when a shutdown begins during the wait.
bool startWait(kit::Semaphore& semaphore, double seconds);

// Sleeps `micros`; throws StartInterrupted when a shutdown begins meanwhile.
void startPause(std::uint32_t micros);

// A standard stream the parent closed would otherwise be handed to the next
// file the process opens (a scenario, a trace), and PCM or a device list would
// land there. Holds each closed slot 0..2 with /dev/null, standard output
// opened read-only so that writing to it still fails as a closed stream does,
// standard input write-only so that reading it fails ("stdin read error").
// The entry calls it first thing.
void holdClosedStandardStreams();

// Ends the process now with `status`, without running static destructors
// (other threads may still be using those objects).
[[noreturn]] void exitProcess(int status);

}  // namespace tarnwick
