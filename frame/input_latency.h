#pragma once
// How long before an input IO cycle's host time its first frame was
// captured, as the platform reports it: the device's latency, its input
// stream's latency and the device's safety offset, all in the input scope.

#include <cstdint>

#include "frame/audio/audio_system.h"

namespace tarnwick {

// In nanoseconds at `deviceRate`. A value that cannot be read counts as 0:
// a platform that does not know it has no latency to take off, and no
// capture fails for want of it.
std::uint64_t inputLatencyNanos(audio::AudioSystem& system, AudioObjectID device, double deviceRate);

}  // namespace tarnwick
