#pragma once
// Fixed figures of the system-audio program.

#include <cstdint>

namespace tarnwick::sys {

inline constexpr std::int32_t producerCode = 11;

// Start attempts before a silent tap is reported as "CoreAudio is not running IO".
inline constexpr int startAttempts = 2;
// Wait for the first IO cycle of an attempt, and the probe's wait for the first render.
inline constexpr double firstCycleTimeout = 2.0;
// Pause after a silent attempt that is not the last one.
inline constexpr std::uint32_t attemptPauseMicros = 250000;

// Settle wait on the default output device.
inline constexpr std::uint32_t settlePauseMicros = 150000;
inline constexpr int settleReadings = 14;
inline constexpr int settleChecksBeforeReport = 2;

// Used when a rate or buffer size cannot be read.
inline constexpr double fallbackSampleRate = 48000.0;
inline constexpr std::uint32_t fallbackBufferFrames = 512;

// Digital silence from the tap for this long, while other programs play,
// is reported (the listener queue checks at startSilenceChecks' pace).
inline constexpr double silenceThresholdSeconds = 5.0;
// Checks per reading of the process list while silence is due (once a second).
inline constexpr int processQueryTicks = 4;

// Interleave room allocated up front; an attempt grows it to its cycle size.
inline constexpr std::uint32_t minInterleaveFrames = 4096;

}  // namespace tarnwick::sys
