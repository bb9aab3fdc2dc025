#pragma once
// Delivery of process signals onto a serial queue. The handler is ordinary
// code on the queue, never an async-signal handler.

#include <csignal>
#include <functional>
#include <initializer_list>

#include "frame/kit/serial_queue.h"

namespace tarnwick::kit {

// Installs handlers for `signals` at once, remembering the dispositions they
// replace, and blocks them on the calling thread, so that threads started
// later inherit them blocked: call it before starting any thread. Arrivals
// wait until deliverCaughtSignals starts taking them, so a signal that comes
// before the program is ready is held, not lost. Once per process; later
// calls do nothing.
void catchSignals(std::initializer_list<int> signals);

// Starts the delivery thread, which submits `handler` with each caught
// signal's number to `queue` (those caught so far first). It is the one
// thread with the caught signals unblocked, so a mask inherited from the
// parent cannot hold them back and no busy or sleeping thread can sit on
// them. Call it from the thread that called catchSignals. Lives until the
// process exits.
void deliverCaughtSignals(SerialQueue& queue, std::function<void(int)> handler);

// For a process that will not deliver: puts the replaced dispositions and
// the calling thread's mask back and returns the first signal caught
// meanwhile (0 if none), so the caller can let it take the effect it would
// have had.
int releaseCaughtSignals();

// catchSignals followed by deliverCaughtSignals.
void deliverSignalsToQueue(std::initializer_list<int> signals, SerialQueue& queue, std::function<void(int)> handler);

}  // namespace tarnwick::kit
