#pragma once
// Delivery of process signals onto a serial queue. The handler is ordinary
// code on the queue, never an async-signal handler.

#include <csignal>
#include <functional>
#include <initializer_list>

#include "frame/kit/serial_queue.h"

namespace tarnwick::kit {

// Installs handlers for `signals` that pass each arrival to a delivery thread,
// which submits `handler` with the signal number to `queue`. Whichever thread
// the system interrupts, the signal ends up on the queue. Lives until the
// process exits.
void deliverSignalsToQueue(std::initializer_list<int> signals, SerialQueue& queue, std::function<void(int)> handler);

}  // namespace tarnwick::kit
