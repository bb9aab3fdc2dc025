#pragma once
// What stands for the platform's CATapDescription object here: the
// simulator's own description.

#include <CoreAudio/CoreAudio.h>

#include "frame/audio/audio_system.h"

struct CATapDescription {
    tarnwick::audio::TapDescription description;
};
