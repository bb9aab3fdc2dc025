#pragma once
// The sample-rate converter off macOS: libsoxr in streaming mode behind the
// boundary's converter interface.

#include <memory>

#include "frame/audio/audio_system.h"

namespace tarnwick::audio {

// Null when libsoxr refuses the rates.
std::unique_ptr<SampleRateConverter> makeSoxrConverter(double inRate, double outRate);

}  // namespace tarnwick::audio
