#pragma once
// The host clock in ticks, and ticks to seconds with a timebase read once.
// On macOS the ticks are mach absolute time; elsewhere the monotonic clock in
// nanoseconds (timebase 1/1).

#include <cstdint>

namespace tarnwick {

// Reads the timebase; the entry calls it first thing. Later calls are no-ops.
void initHostClock();

std::uint64_t hostTicks();

// ticks × numer ÷ denom ÷ 1e9.
double machSeconds(std::uint64_t ticks);

// Ticks as whole nanoseconds of the same clock (CLOCK_MONOTONIC on Linux,
// mach absolute time scaled on macOS): the clock that every process on the
// machine reads alike.
std::uint64_t hostTicksToNanos(std::uint64_t ticks);

}  // namespace tarnwick
