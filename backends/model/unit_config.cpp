#include "backends/model/unit_config.h"

#include <cstring>

#include "backends/model/limits.h"
#include "backends/model/status_codes.h"

namespace tarnwick::model {

namespace {

UInt32 readU32(const void* data) {
    UInt32 value = 0;
    std::memcpy(&value, data, sizeof value);
    return value;
}

}  // namespace

OSStatus applyUnitProperty(UnitConfig& config, const UnitDevices& devices, AudioUnitPropertyID id,
                           AudioUnitScope scope, AudioUnitElement element, const void* data, UInt32 size) {
    switch (id) {
        case audio::kUnitPropEnableIO: {
            if (size != sizeof(UInt32)) return audio::kInvalidParameterError;
            const bool on = readU32(data) != 0;
            if (scope == audio::kUnitScopeInput) {
                if (element != 1) return kUnitErrInvalidElement;
                config.inputEnabled = on;
            } else if (scope == audio::kUnitScopeOutput) {
                if (element != 0) return kUnitErrInvalidElement;
                config.outputEnabled = on;
            } else {
                return kUnitErrInvalidScope;
            }
            return 0;
        }
        case audio::kUnitPropCurrentDevice: {
            if (size != sizeof(UInt32)) return audio::kInvalidParameterError;
            if (scope != audio::kUnitScopeGlobal) return kUnitErrInvalidScope;
            const AudioObjectID device = readU32(data);
            if (!devices.exists(device)) return kUnitErrInvalidPropertyValue;
            config.device = device;
            return 0;
        }
        case audio::kUnitPropStreamFormat: {
            if (size != sizeof(AudioStreamBasicDescription)) return audio::kInvalidParameterError;
            AudioStreamBasicDescription format;
            std::memcpy(&format, data, sizeof format);
            const bool clientSide = scope == audio::kUnitScopeOutput && element == 1;
            const bool renderSide = scope == audio::kUnitScopeInput && element == 0;
            if (!clientSide && !renderSide) {
                const bool deviceSide = (scope == audio::kUnitScopeInput && element == 1) ||
                                        (scope == audio::kUnitScopeOutput && element == 0);
                if (deviceSide) return kUnitErrPropertyNotWritable;
                return scope == audio::kUnitScopeGlobal ? kUnitErrInvalidScope : kUnitErrInvalidElement;
            }
            const AudioObjectID device = devices.bound(config);
            const OSStatus refused = clientSide ? devices.acceptsClientFormat(device, format)
                                                : devices.acceptsRenderFormat(device, format);
            if (refused != 0) return refused;
            (clientSide ? config.clientFormat : config.renderFormat) = format;
            return 0;
        }
        case audio::kUnitPropMaximumFramesPerSlice: {
            if (size != sizeof(UInt32)) return audio::kInvalidParameterError;
            if (scope != audio::kUnitScopeGlobal) return kUnitErrInvalidScope;
            const UInt32 frames = readU32(data);
            if (frames == 0 || frames > kMaxBufferFrames) return kUnitErrInvalidPropertyValue;
            config.maxFramesPerSlice = frames;
            return 0;
        }
        case audio::kUnitPropSetInputCallback:
        case audio::kUnitPropSetRenderCallback: {
            if (size != sizeof(AURenderCallbackStruct)) return audio::kInvalidParameterError;
            AURenderCallbackStruct callback;
            std::memcpy(&callback, data, sizeof callback);
            if (id == audio::kUnitPropSetInputCallback) {
                if (scope != audio::kUnitScopeGlobal) return kUnitErrInvalidScope;
                config.inputCallback = callback;
            } else {
                if (scope != audio::kUnitScopeInput) return kUnitErrInvalidScope;
                if (element != 0) return kUnitErrInvalidElement;
                config.renderCallback = callback;
            }
            return 0;
        }
        default:
            return audio::kInvalidPropertyError;
    }
}

OSStatus readUnitProperty(const UnitConfig& config, const UnitDevices& devices, AudioUnitPropertyID id,
                          AudioUnitScope scope, AudioUnitElement element, void* data, UInt32* ioSize) {
    auto give = [&](const void* value, UInt32 size) -> OSStatus {
        if (*ioSize < size) return audio::kInvalidParameterError;
        std::memcpy(data, value, size);
        *ioSize = size;
        return 0;
    };
    switch (id) {
        case audio::kUnitPropEnableIO: {
            UInt32 value;
            if (scope == audio::kUnitScopeInput) {
                if (element != 1) return kUnitErrInvalidElement;
                value = config.inputEnabled ? 1 : 0;
            } else if (scope == audio::kUnitScopeOutput) {
                if (element != 0) return kUnitErrInvalidElement;
                value = config.outputEnabled ? 1 : 0;
            } else {
                return kUnitErrInvalidScope;
            }
            return give(&value, sizeof value);
        }
        case audio::kUnitPropCurrentDevice: {
            if (scope != audio::kUnitScopeGlobal) return kUnitErrInvalidScope;
            const AudioObjectID value = devices.bound(config);
            return give(&value, sizeof value);
        }
        case audio::kUnitPropStreamFormat: {
            const AudioObjectID device = devices.bound(config);
            AudioStreamBasicDescription format{};
            if (scope == audio::kUnitScopeInput && element == 1) {
                if (!device) return kUnitErrNoConnection;
                format = devices.inputFormat(device);
            } else if (scope == audio::kUnitScopeOutput && element == 1) {
                if (!config.clientFormat && !device) return kUnitErrNoConnection;
                format = config.clientFormat ? *config.clientFormat : devices.inputFormat(device);
            } else if (scope == audio::kUnitScopeInput && element == 0) {
                if (!config.renderFormat && !device) return kUnitErrNoConnection;
                format = config.renderFormat ? *config.renderFormat : devices.renderFormat(device);
            } else if (scope == audio::kUnitScopeOutput && element == 0) {
                if (!device) return kUnitErrNoConnection;
                format = devices.outputFormat(device);
            } else {
                return scope == audio::kUnitScopeGlobal ? kUnitErrInvalidScope : kUnitErrInvalidElement;
            }
            return give(&format, sizeof format);
        }
        case audio::kUnitPropMaximumFramesPerSlice:
            if (scope != audio::kUnitScopeGlobal) return kUnitErrInvalidScope;
            return give(&config.maxFramesPerSlice, sizeof(UInt32));
        case audio::kUnitPropSetInputCallback:
            return give(&config.inputCallback, sizeof(AURenderCallbackStruct));
        case audio::kUnitPropSetRenderCallback:
            return give(&config.renderCallback, sizeof(AURenderCallbackStruct));
        default:
            return audio::kInvalidPropertyError;
    }
}

}  // namespace tarnwick::model
