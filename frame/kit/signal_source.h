#pragma once
// Delivery of process signals onto a serial queue. The handler is ordinary
// code on the queue, never an async-signal handler.

#include <csignal>
#include <functional>
#include <initializer_list>

#include "frame/kit/serial_queue.h"

namespace tarnwick::kit {

// Blocks `signals` in the calling thread (threads created afterwards inherit
// the mask) and starts a thread that waits for them and submits `handler`
// with the signal number to `queue`. Call it before creating other threads
// that must not receive these signals. Lives until the process exits.
void deliverSignalsToQueue(std::initializer_list<int> signals, SerialQueue& queue, std::function<void(int)> handler);

}  // namespace tarnwick::kit
