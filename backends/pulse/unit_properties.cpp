// Audio unit properties over the server: what AudioUnitSetProperty accepts and
// what AudioUnitGetProperty reports. The unit never converts recorded audio:
// a client format must have the source's own rate and channel count.

#include <cstring>

#include "backends/model/status_codes.h"
#include "backends/pulse/units.h"

namespace tarnwick::pulse {

using namespace model;

namespace {

bool isFloat32(const AudioStreamBasicDescription& f) {
    return f.mFormatID == audio::kFormatLinearPCM && (f.mFormatFlags & audio::kFormatFlagIsFloat) != 0 &&
           f.mBitsPerChannel == 32 && f.mChannelsPerFrame >= 1 && f.mChannelsPerFrame <= PA_CHANNELS_MAX &&
           f.mSampleRate > 0 && f.mSampleRate <= PA_RATE_MAX;
}

UInt32 readU32(const void* data) {
    UInt32 value = 0;
    std::memcpy(&value, data, sizeof value);
    return value;
}

}  // namespace

OSStatus Units::setProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                            const void* data, UInt32 size) {
    std::lock_guard lock(mutex_);
    Unit* u = find(unit);
    if (!u) return kBadComponentInstance;
    if (u->stream) return kUnitErrCannotDoInCurrentContext;  // the stream reads its settings without a lock
    if (!data) return audio::kInvalidParameterError;
    return apply(u->config, id, scope, element, data, size);
}

OSStatus Units::apply(UnitConfig& config, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                      const void* data, UInt32 size) {
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
            if (!devices_.byId(device)) return kUnitErrInvalidPropertyValue;
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
            if (!isFloat32(format)) return audio::kFormatNotSupported;
            if (clientSide) {
                std::optional<ServerDevice> device = boundDevice(config);
                if (device && (format.mSampleRate != device->rate || format.mChannelsPerFrame != device->channels)) {
                    return audio::kFormatNotSupported;
                }
                config.clientFormat = format;
            } else {
                config.renderFormat = format;
            }
            return 0;
        }
        case audio::kUnitPropMaximumFramesPerSlice: {
            if (size != sizeof(UInt32)) return audio::kInvalidParameterError;
            if (scope != audio::kUnitScopeGlobal) return kUnitErrInvalidScope;
            const UInt32 frames = readU32(data);
            if (frames == 0 || frames > 65536) return kUnitErrInvalidPropertyValue;
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

OSStatus Units::getProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                            void* data, UInt32* ioSize) {
    std::lock_guard lock(mutex_);
    Unit* u = find(unit);
    if (!u) return kBadComponentInstance;
    if (!data || !ioSize) return audio::kInvalidParameterError;
    return read(u->config, id, scope, element, data, ioSize);
}

OSStatus Units::read(const UnitConfig& config, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                     void* data, UInt32* ioSize) {
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
            std::optional<ServerDevice> device = boundDevice(config);
            const AudioObjectID value = device ? device->id : 0;
            return give(&value, sizeof value);
        }
        case audio::kUnitPropStreamFormat: {
            std::optional<ServerDevice> device = boundDevice(config);
            AudioStreamBasicDescription format{};
            const bool inputSide = device && !device->isSink;
            if (scope == audio::kUnitScopeInput && element == 1) {
                if (!device) return kUnitErrNoConnection;
                format = floatFormat(device->rate, inputSide ? device->channels : 0, false);
            } else if (scope == audio::kUnitScopeOutput && element == 1) {
                if (config.clientFormat) {
                    format = *config.clientFormat;
                } else {
                    if (!device) return kUnitErrNoConnection;
                    format = floatFormat(device->rate, inputSide ? device->channels : 0, false);
                }
            } else if (scope == audio::kUnitScopeInput && element == 0) {
                if (config.renderFormat) {
                    format = *config.renderFormat;
                } else {
                    if (!device) return kUnitErrNoConnection;
                    format = floatFormat(device->rate, std::max<UInt32>(1, device->channels), true);
                }
            } else if (scope == audio::kUnitScopeOutput && element == 0) {
                if (!device) return kUnitErrNoConnection;
                format = floatFormat(device->rate, inputSide ? 0 : device->channels, false);
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

}  // namespace tarnwick::pulse
