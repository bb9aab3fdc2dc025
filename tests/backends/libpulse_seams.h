#pragma once
// Test seams in front of libpulse: the backend's own calls reach these
// definitions first (the test program defines the functions, which take
// precedence over the shared library's), and each passes through to the real
// function, running a hook that a test on the calling thread set, if any.
// The backend's code is the product's, unchanged.

#include <functional>

namespace tarnwick::pulse::seams {

// Runs right after a record stream of this thread was connected, with the
// main-loop lock held.
extern thread_local std::function<void()> afterRecordConnect;
// Runs each time a wait of this thread for the server returns, with the
// main-loop lock released (a wait that ends that much later).
extern thread_local std::function<void()> afterWait;

// Runs once, when this thread next stops a main loop, while its events still
// run (a stop that comes that much later).
extern thread_local std::function<void()> beforeStop;

}  // namespace tarnwick::pulse::seams
