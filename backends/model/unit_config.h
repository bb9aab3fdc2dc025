#pragma once
// The HAL output unit's settings and the properties that read and write them,
// the same for every backend that emulates the unit. What depends on the
// devices (which exist, which formats they take and report) each backend
// answers through UnitDevices.

#include <optional>

#include "frame/audio/platform_types.h"

namespace tarnwick::model {

// A unit's settings as AudioUnitSetProperty left them.
struct UnitConfig {
    bool inputEnabled = false;
    bool outputEnabled = true;
    std::optional<AudioObjectID> device;                      // CurrentDevice
    std::optional<AudioStreamBasicDescription> clientFormat;  // StreamFormat, output scope, element 1
    std::optional<AudioStreamBasicDescription> renderFormat;  // StreamFormat, input scope, element 0
    AURenderCallbackStruct inputCallback{};
    AURenderCallbackStruct renderCallback{};
    UInt32 maxFramesPerSlice = 4096;  // a new unit's default, as on the platform
    bool initialized = false;
};

class UnitDevices {
public:
    virtual ~UnitDevices() = default;
    virtual bool exists(AudioObjectID device) const = 0;
    // The device a unit with `config` runs on: its own, else the default one
    // for its direction; 0 when there is none.
    virtual AudioObjectID bound(const UnitConfig& config) const = 0;
    // What a unit on `device` reports when nobody set a format.
    virtual AudioStreamBasicDescription inputFormat(AudioObjectID device) const = 0;
    virtual AudioStreamBasicDescription outputFormat(AudioObjectID device) const = 0;
    virtual AudioStreamBasicDescription renderFormat(AudioObjectID device) const = 0;
    // 0, or the status that refuses `format` on `device` (0: none bound).
    virtual OSStatus acceptsClientFormat(AudioObjectID device, const AudioStreamBasicDescription& format) const = 0;
    virtual OSStatus acceptsRenderFormat(AudioObjectID device, const AudioStreamBasicDescription& format) const = 0;
};

// AudioUnitSetProperty on a unit that is not running (`data` not null).
OSStatus applyUnitProperty(UnitConfig& config, const UnitDevices& devices, AudioUnitPropertyID id,
                           AudioUnitScope scope, AudioUnitElement element, const void* data, UInt32 size);

// AudioUnitGetProperty (`data` and `ioSize` not null).
OSStatus readUnitProperty(const UnitConfig& config, const UnitDevices& devices, AudioUnitPropertyID id,
                          AudioUnitScope scope, AudioUnitElement element, void* data, UInt32* ioSize);

}  // namespace tarnwick::model
