#include "backends/call_layer/call_names.h"

#include <array>

namespace tarnwick::call_layer {

namespace {
constexpr std::array<const char*, kCallCount> kNames = {
    "AudioObjectGetPropertyDataSize",
    "AudioObjectGetPropertyData",
    "AudioObjectSetPropertyData",
    "AudioObjectAddPropertyListenerBlock",
    "AudioObjectRemovePropertyListenerBlock",
    "AudioHardwareCreateProcessTap",
    "AudioHardwareCreateAggregateDevice",
    "AudioDeviceCreateIOProcIDWithBlock",
    "AudioDeviceStart",
    "AudioDeviceStop",
    "AudioDeviceDestroyIOProcID",
    "AudioHardwareDestroyAggregateDevice",
    "AudioHardwareDestroyProcessTap",
    "AudioComponentFindNext",
    "AudioComponentInstanceNew",
    "AudioUnitSetProperty",
    "AudioUnitGetProperty",
    "AudioUnitInitialize",
    "AudioOutputUnitStart",
    "AudioUnitRender",
    "AudioOutputUnitStop",
    "AudioUnitUninitialize",
    "AudioComponentInstanceDispose",
    "AudioConverter",
    "AudioConverterNew",
};
}  // namespace

const char* callName(Call call) { return kNames[static_cast<std::size_t>(call)]; }

std::optional<Call> callFromName(std::string_view name) {
    for (std::size_t i = 0; i < kCallCount; ++i) {
        if (name == kNames[i]) return static_cast<Call>(i);
    }
    return std::nullopt;
}

PropertyKind propertyKindOf(Call call) {
    switch (call) {
        case Call::AudioObjectGetPropertyDataSize:
        case Call::AudioObjectGetPropertyData:
        case Call::AudioObjectSetPropertyData:
        case Call::AudioObjectAddPropertyListenerBlock:
        case Call::AudioObjectRemovePropertyListenerBlock:
            return PropertyKind::objectSelector;
        case Call::AudioUnitSetProperty:
        case Call::AudioUnitGetProperty:
            return PropertyKind::unitProperty;
        default:
            return PropertyKind::none;
    }
}

}  // namespace tarnwick::call_layer
