#pragma once
// The simulator's one clock: CLOCK_MONOTONIC in nanoseconds (the host clock of
// this platform), and sleeps to absolute deadlines on it.

#include <atomic>
#include <cstdint>

namespace tarnwick::sim {

std::int64_t monoNs() noexcept;

// Sleeps until `deadlineNs` with clock_nanosleep(TIMER_ABSTIME), in short
// steps so that clearing `keepGoing` ends the sleep within a few
// milliseconds. Returns keepGoing's value at the end.
bool sleepUntil(std::int64_t deadlineNs, const std::atomic<bool>& keepGoing) noexcept;

}  // namespace tarnwick::sim
