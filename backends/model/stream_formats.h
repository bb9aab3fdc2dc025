#pragma once
// The stream descriptions and input configurations that emulated devices and
// units report: 32-bit float, packed, interleaved or one buffer per channel.

#include <vector>

#include "frame/audio/platform_types.h"

namespace tarnwick::model {

AudioStreamBasicDescription floatFormat(double rate, UInt32 channels, bool planar);
bool isPlanar(const AudioStreamBasicDescription& format);

// An 'slay' value: an AudioBufferList with one entry per buffer (its channel
// count) and no data.
std::vector<unsigned char> configurationBytes(const std::vector<UInt32>& channelsPerBuffer);

}  // namespace tarnwick::model
