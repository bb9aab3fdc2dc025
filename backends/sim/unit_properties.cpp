// Audio unit properties: what AudioUnitSetProperty accepts and what
// AudioUnitGetProperty reports, per property, scope and element.

#include <cstring>

#include "backends/sim/model_names.h"
#include "backends/sim/trace_text.h"
#include "backends/sim/unit_host.h"

namespace tarnwick::sim {

namespace {

bool isPlanar(const AudioStreamBasicDescription& f) { return (f.mFormatFlags & audio::kFormatFlagIsNonInterleaved) != 0; }

bool isUsableFloatFormat(const AudioStreamBasicDescription& f) {
    return f.mFormatID == audio::kFormatLinearPCM && (f.mFormatFlags & audio::kFormatFlagIsFloat) != 0 &&
           f.mBitsPerChannel == 32 && f.mChannelsPerFrame >= 1 && f.mChannelsPerFrame <= kMaxChannels &&
           f.mSampleRate >= 0;
}

UInt32 readU32(const void* data) {
    UInt32 value = 0;
    std::memcpy(&value, data, sizeof value);
    return value;
}

std::string propertyArgs(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element) {
    return unitName(unit) + " prop=" + std::to_string(id) + " scope=" + unitScopeText(scope) +
           " element=" + std::to_string(element);
}

std::string callbackText(const AURenderCallbackStruct& callback) {
    return callback.inputProc ? "{proc}" : "{null}";
}

}  // namespace

OSStatus UnitHost::setProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                               const void* data, UInt32 size) {
    std::string args = propertyArgs(unit, id, scope, element);
    if (auto hit = ctx_.faults->check(Call::AudioUnitSetProperty, id, FaultTable::unitScope(scope))) {
        ctx_.trace->call("AudioUnitSetProperty", args, hit->status, "fault");
        return hit->status;
    }
    std::string valueText;
    OSStatus status;
    {
        std::lock_guard lock(mutex_);
        Unit* u = find(unit);
        if (!u) {
            status = kBadComponentInstance;
        } else if (u->run || u->silentlyRunning) {
            status = kUnitErrCannotDoInCurrentContext;  // the IO thread reads the settings without a lock
        } else {
            status = applyProperty(*u, id, scope, element, data, size, &valueText);
        }
    }
    ctx_.trace->call("AudioUnitSetProperty", valueText.empty() ? args : args + " value=" + valueText, status, "");
    return status;
}

OSStatus UnitHost::applyProperty(Unit& unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                 const void* data, UInt32 size, std::string* valueText) {
    if (!data) return audio::kInvalidParameterError;
    UnitConfig& config = unit.config;
    switch (id) {
        case audio::kUnitPropEnableIO: {
            if (size != sizeof(UInt32)) return audio::kInvalidParameterError;
            UInt32 value = readU32(data);
            *valueText = std::to_string(value);
            if (scope == audio::kUnitScopeInput) {
                if (element != 1) return kUnitErrInvalidElement;
                config.inputEnabled = value != 0;
            } else if (scope == audio::kUnitScopeOutput) {
                if (element != 0) return kUnitErrInvalidElement;
                config.outputEnabled = value != 0;
            } else {
                return kUnitErrInvalidScope;
            }
            return 0;
        }
        case audio::kUnitPropCurrentDevice: {
            if (size != sizeof(UInt32)) return audio::kInvalidParameterError;
            AudioObjectID device = readU32(data);
            *valueText = std::to_string(device);
            if (scope != audio::kUnitScopeGlobal) return kUnitErrInvalidScope;
            if (!ctx_.devices.byId(device)) return kUnitErrInvalidPropertyValue;
            config.device = device;
            return 0;
        }
        case audio::kUnitPropStreamFormat: {
            if (size != sizeof(AudioStreamBasicDescription)) return audio::kInvalidParameterError;
            AudioStreamBasicDescription format;
            std::memcpy(&format, data, sizeof format);
            *valueText = formatText(format);
            bool clientSide = scope == audio::kUnitScopeOutput && element == 1;
            bool renderSide = scope == audio::kUnitScopeInput && element == 0;
            if (!clientSide && !renderSide) {
                bool deviceSide = (scope == audio::kUnitScopeInput && element == 1) ||
                                  (scope == audio::kUnitScopeOutput && element == 0);
                if (deviceSide) return kUnitErrPropertyNotWritable;
                return scope == audio::kUnitScopeGlobal ? kUnitErrInvalidScope : kUnitErrInvalidElement;
            }
            if (!isUsableFloatFormat(format)) return audio::kFormatNotSupported;
            const DeviceState* device = boundDevice(config);
            const UnitSpec* rules = device ? &device->setup().unit : nullptr;
            if (clientSide) {
                if (rules && (isPlanar(format) ? rules->rejectsNonInterleaved : rules->rejectsInterleaved)) {
                    return audio::kFormatNotSupported;
                }
                config.clientFormat = format;
            } else {
                if (rules && rules->rejectsStreamFormat) return audio::kFormatNotSupported;
                config.renderFormat = format;
            }
            return 0;
        }
        case audio::kUnitPropMaximumFramesPerSlice: {
            if (size != sizeof(UInt32)) return audio::kInvalidParameterError;
            UInt32 value = readU32(data);
            *valueText = std::to_string(value);
            if (scope != audio::kUnitScopeGlobal) return kUnitErrInvalidScope;
            if (value == 0 || value > kMaxBufferFrames) return kUnitErrInvalidPropertyValue;
            config.maxFramesPerSlice = value;
            return 0;
        }
        case audio::kUnitPropSetInputCallback:
        case audio::kUnitPropSetRenderCallback: {
            if (size != sizeof(AURenderCallbackStruct)) return audio::kInvalidParameterError;
            AURenderCallbackStruct callback;
            std::memcpy(&callback, data, sizeof callback);
            *valueText = callbackText(callback);
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

OSStatus UnitHost::getProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                               void* data, UInt32* ioSize) {
    std::string args = propertyArgs(unit, id, scope, element);
    if (auto hit = ctx_.faults->check(Call::AudioUnitGetProperty, id, FaultTable::unitScope(scope))) {
        ctx_.trace->call("AudioUnitGetProperty", args, hit->status, "fault");
        return hit->status;
    }
    std::string valueText;
    OSStatus status;
    {
        std::lock_guard lock(mutex_);
        Unit* u = find(unit);
        if (!u) {
            status = kBadComponentInstance;
        } else if (!data || !ioSize) {
            status = audio::kInvalidParameterError;
        } else {
            status = readProperty(*u, id, scope, element, data, ioSize, &valueText);
        }
    }
    ctx_.trace->call("AudioUnitGetProperty", args, status, valueText);
    return status;
}

OSStatus UnitHost::readProperty(Unit& unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                void* data, UInt32* ioSize, std::string* valueText) {
    const UnitConfig& config = unit.config;
    auto give = [&](const void* value, UInt32 size, std::string text) -> OSStatus {
        if (*ioSize < size) return audio::kInvalidParameterError;
        std::memcpy(data, value, size);
        *ioSize = size;
        *valueText = std::move(text);
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
            return give(&value, sizeof value, std::to_string(value));
        }
        case audio::kUnitPropCurrentDevice: {
            if (scope != audio::kUnitScopeGlobal) return kUnitErrInvalidScope;
            const DeviceState* device = boundDevice(config);
            AudioObjectID value = device ? device->id() : 0;
            return give(&value, sizeof value, std::to_string(value));
        }
        case audio::kUnitPropStreamFormat: {
            const DeviceState* device = boundDevice(config);
            AudioStreamBasicDescription format{};
            if (scope == audio::kUnitScopeInput && element == 1) {
                if (!device) return kUnitErrNoConnection;
                format = deviceInputFormat(*device);
            } else if (scope == audio::kUnitScopeOutput && element == 1) {
                if (config.clientFormat) {
                    format = *config.clientFormat;
                } else {
                    if (!device) return kUnitErrNoConnection;
                    format = deviceInputFormat(*device);
                }
            } else if (scope == audio::kUnitScopeInput && element == 0) {
                if (config.renderFormat) {
                    format = *config.renderFormat;
                } else {
                    if (!device) return kUnitErrNoConnection;
                    format = defaultRenderFormat(*device);
                }
            } else if (scope == audio::kUnitScopeOutput && element == 0) {
                if (!device) return kUnitErrNoConnection;
                format = deviceOutputFormat(*device);
            } else {
                return scope == audio::kUnitScopeGlobal ? kUnitErrInvalidScope : kUnitErrInvalidElement;
            }
            return give(&format, sizeof format, formatText(format));
        }
        case audio::kUnitPropMaximumFramesPerSlice:
            if (scope != audio::kUnitScopeGlobal) return kUnitErrInvalidScope;
            return give(&config.maxFramesPerSlice, sizeof(UInt32), std::to_string(config.maxFramesPerSlice));
        case audio::kUnitPropSetInputCallback:
            return give(&config.inputCallback, sizeof(AURenderCallbackStruct), callbackText(config.inputCallback));
        case audio::kUnitPropSetRenderCallback:
            return give(&config.renderCallback, sizeof(AURenderCallbackStruct), callbackText(config.renderCallback));
        default:
            return audio::kInvalidPropertyError;
    }
}

}  // namespace tarnwick::sim
