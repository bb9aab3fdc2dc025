#pragma once
// How values appear in trace lines.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame/audio/platform_types.h"

namespace tarnwick::call_layer {

std::string numberText(double value);                           // shortest form: 44100, 44100.5
std::string formatText(const AudioStreamBasicDescription& f);   // {rate=48000 flags=41 ch=2 bits=32}
std::string unitScopeText(AudioUnitScope scope);                // global / input / output / number
std::string objectAddressText(const AudioObjectPropertyAddress& address);  // 'nsrt' 'glob' 0
std::string jsonLine(const nlohmann::json& value);               // one line, bad UTF-8 replaced
std::string listText(const std::vector<UInt32>& values);        // [100,101]
std::string addressArgs(AudioObjectID object, const AudioObjectPropertyAddress* address);  // 100 'nsrt' 'glob' 0
// A 4-byte qualifier (a PID) shows as " qualifier=<value>"; others add nothing.
std::string qualifierText(UInt32 size, const void* data);
std::string callbackText(const AURenderCallbackStruct& callback);  // {proc} / {null}
// An audio-unit property value as the trace shows it; empty when its size is
// not the property's, or the property is not one the trace shows.
std::string unitValueText(AudioUnitPropertyID id, const void* data, UInt32 size);

}  // namespace tarnwick::call_layer
