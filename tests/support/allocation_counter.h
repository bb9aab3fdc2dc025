#pragma once
// Counts allocations per thread, for the cases that check that a real-time
// path allocates nothing once running. A test program that links
// tarnwick_allocation_counter has the global allocation functions replaced.

#include <cstddef>

namespace tarnwick::testing {

// How many times operator new ran on the calling thread so far.
std::size_t allocationsOnThisThread();

}  // namespace tarnwick::testing
