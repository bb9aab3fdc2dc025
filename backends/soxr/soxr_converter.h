#pragma once
// The sample-rate converter off macOS: libsoxr in streaming mode behind the
// boundary's converter interface.

#include <memory>

#include "frame/audio/audio_system.h"

namespace tarnwick::audio {

// libsoxr's quality recipes that the converter can be built with.
enum class SoxrRecipe { high, veryHigh };

// The programs' converter (the very-high-quality recipe). Null when libsoxr
// refuses the rates.
std::unique_ptr<SampleRateConverter> makeSoxrConverter(double inRate, double outRate);
// The same with a chosen recipe, for comparing them.
std::unique_ptr<SampleRateConverter> makeSoxrConverter(double inRate, double outRate, SoxrRecipe recipe);

}  // namespace tarnwick::audio
