#pragma once
// The boundary's sample-rate converter as an AudioConverter, fed through its
// pull callback.

#include <memory>

#include "frame/audio/audio_system.h"

namespace tarnwick::coreaudio {

// One channel of native 32-bit float from inRate to outRate; null when the
// platform refuses the pair.
std::unique_ptr<audio::SampleRateConverter> makeAudioConverter(double inRate, double outRate);

// What the pull callback answers when the caller's provider has nothing more
// for now: the converter stops and returns it with the frames made so far.
// Our own code, chosen to be none of Apple's statuses.
constexpr OSStatus kNoDataNowStatus = audio::fourCC("tnwk");

}  // namespace tarnwick::coreaudio
