#pragma once
// Fixed figures of the microphone program, set once for the whole process.

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>

#include "frame/audio/platform_types.h"

namespace tarnwick::mic {

inline constexpr std::int32_t producerCode = 5;

// The stream is always mono float at this rate, whatever the device runs at.
inline constexpr double outputSampleRate = 48000.0;

// The largest slice the input callback accepts; also the frames per render
// block, the length of the mono scratch and the converter's input capacity.
// It is what we ask of the unit, well below the largest the platform would
// take: every buffer sized from it is allocated before IO starts.
inline constexpr UInt32 maxFramesPerSlice = 4096;

// The widest device format we take: one interleaved slice of it must still
// be describable by an AudioBuffer's 32-bit byte size.
inline constexpr UInt32 maxInputChannels = std::numeric_limits<UInt32>::max() / (maxFramesPerSlice * 4);

inline constexpr double firstFrameTimeout = 1.5;
inline constexpr int startAttempts = 3;
inline constexpr std::uint32_t attemptPauseMicros = 250000;
inline constexpr UInt32 fallbackBufferFrames = 512;

inline constexpr double stallThresholdSeconds = 1.5;
inline constexpr std::chrono::milliseconds stallTickInterval{500};
inline constexpr std::chrono::milliseconds stallTickLeeway{100};

// Digital silence on the input for this long is reported (the listener
// queue checks at startSilenceChecks' pace).
inline constexpr double silenceThresholdSeconds = 5.0;

// A rate as a whole number of hertz, fraction dropped. Values no integer can
// hold (not finite, out of range) read as 0 rather than overflow.
inline std::int64_t wholeHertz(double hertz) {
    if (!std::isfinite(hertz) || std::fabs(hertz) >= 9.0e18) return 0;
    return static_cast<std::int64_t>(hertz);
}

}  // namespace tarnwick::mic
