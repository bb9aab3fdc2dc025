#pragma once
// Test seams in front of libpulse: the backend's own calls reach these
// definitions first (the test program defines the functions, which take
// precedence over the shared library's), and each passes through to the real
// function unless a test on the calling thread asked for something else.
// The backend's code is the product's, unchanged.

#include <functional>

namespace tarnwick::pulse::seams {

// The next subscription asks the server for events no server knows, which
// it refuses.
extern thread_local bool refuseSubscription;
// The next sink listing asks for a sink that does not exist, so that the
// server ends the list with an error.
extern thread_local bool failSinkListing;
// Runs right after a record stream of this thread was connected, with the
// main-loop lock held.
extern thread_local std::function<void()> afterRecordConnect;
// Runs each time a wait of this thread for the server returns, with the
// main-loop lock released (a wait that ends that much later).
extern thread_local std::function<void()> afterWait;

}  // namespace tarnwick::pulse::seams
