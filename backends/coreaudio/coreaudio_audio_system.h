#pragma once
// The CoreAudio backend: every boundary operation forwarded to Apple's call
// of the same name, with the translation the platform's types need and
// nothing else.

#include <memory>

#include "frame/audio/audio_system.h"

namespace tarnwick::coreaudio {

std::shared_ptr<audio::AudioSystem> openCoreAudio();

}  // namespace tarnwick::coreaudio
