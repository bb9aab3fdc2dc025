#pragma once
// Bounds of the emulated platform that more than one layer relies on.

#include "frame/audio/platform_types.h"

namespace tarnwick::model {

// The most frames one IO buffer holds: the largest buffer frame size a
// device takes, and so also the largest MaximumFramesPerSlice a unit takes
// (a unit's slice is one buffer of its device).
inline constexpr UInt32 kMaxBufferFrames = 65536;

}  // namespace tarnwick::model
