#pragma once
// The platform operations that faults can name, by their platform spelling.

#include <cstddef>
#include <optional>
#include <string_view>

namespace tarnwick::call_layer {

enum class Call : unsigned char {
    AudioObjectGetPropertyDataSize,
    AudioObjectGetPropertyData,
    AudioObjectSetPropertyData,
    AudioObjectAddPropertyListenerBlock,
    AudioObjectRemovePropertyListenerBlock,
    AudioHardwareCreateProcessTap,
    AudioHardwareCreateAggregateDevice,
    AudioDeviceCreateIOProcIDWithBlock,
    AudioDeviceStart,
    AudioDeviceStop,
    AudioDeviceDestroyIOProcID,
    AudioHardwareDestroyAggregateDevice,
    AudioHardwareDestroyProcessTap,
    AudioComponentFindNext,
    AudioComponentInstanceNew,
    AudioUnitSetProperty,
    AudioUnitGetProperty,
    AudioUnitInitialize,
    AudioOutputUnitStart,
    AudioUnitRender,
    AudioOutputUnitStop,
    AudioUnitUninitialize,
    AudioComponentInstanceDispose,
    AudioConverter,     // one conversion call of a sample-rate converter
    AudioConverterNew,  // building a sample-rate converter
};

constexpr std::size_t kCallCount = static_cast<std::size_t>(Call::AudioConverterNew) + 1;

// What a fault's "property" and "scope" filter against for this call.
enum class PropertyKind { none, objectSelector, unitProperty };

const char* callName(Call call);
std::optional<Call> callFromName(std::string_view name);
PropertyKind propertyKindOf(Call call);

}  // namespace tarnwick::call_layer
