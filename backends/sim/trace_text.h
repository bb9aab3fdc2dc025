#pragma once
// How values appear in trace lines.

#include <string>

#include "frame/audio/platform_types.h"

namespace tarnwick::sim {

std::string numberText(double value);                           // shortest form: 44100, 44100.5
std::string formatText(const AudioStreamBasicDescription& f);   // {rate=48000 flags=41 ch=2 bits=32}
std::string unitScopeText(AudioUnitScope scope);                // global / input / output / number
std::string objectAddressText(const AudioObjectPropertyAddress& address);  // 'nsrt' 'glob' 0

}  // namespace tarnwick::sim
