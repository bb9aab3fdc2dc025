// Audio objects and their properties over the server: the system object, the
// server's sources and sinks, and the taps and aggregate devices made at run
// time.

#include <cmath>
#include <cstring>

#include "backends/model/limits.h"
#include "backends/model/stream_formats.h"
#include "backends/pulse/pulse_system.h"

namespace tarnwick::pulse {

using model::configurationBytes;

namespace {

template <typename T>
void append(std::vector<unsigned char>& bytes, const T& value) {
    const auto* p = reinterpret_cast<const unsigned char*>(&value);
    bytes.insert(bytes.end(), p, p + sizeof(T));
}

// A device's buffer: the IO cycle of its latest stream, or the fragment a
// stream is asked for, when none has run yet.
UInt32 bufferFrames(const ServerDevice& device) {
    if (device.fragmentFrames > 0) return device.fragmentFrames;
    return static_cast<UInt32>(std::lround(device.rate * kFragmentSeconds));
}

}  // namespace

PulseAudioSystem::Value PulseAudioSystem::read(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                               UInt32 qualifierSize, const void* qualifier) const {
    if (object == audio::kSystemObject) return systemValue(address.mSelector, qualifierSize, qualifier);
    if (processes_->pidOf(object)) return processValue(object, address.mSelector);
    if (auto device = devices_->byId(object)) return deviceValue(*device, address);
    if (auto aggregate = io_->table().aggregate(object)) return aggregateValue(*aggregate, address);
    Value v;
    if (io_->table().isTap(object)) {
        if (address.mSelector != audio::kPropTapFormat) {
            v.status = audio::kUnknownPropertyError;
            return v;
        }
        // A stereo mixdown of what the default sink plays, at its rate.
        double rate = 48000.0;
        if (auto sink = devices_->byId(devices_->defaultOutput())) rate = sink->rate;
        append(v.bytes, floatFormat(rate, kTapChannels, false));
        return v;
    }
    v.status = audio::kBadObjectError;
    return v;
}

PulseAudioSystem::Value PulseAudioSystem::systemValue(AudioObjectPropertySelector selector, UInt32 qualifierSize,
                                                      const void* qualifier) const {
    Value v;
    switch (selector) {
        case kPropProcessObjectList:
            for (AudioObjectID id : processes_->objects()) append(v.bytes, id);
            break;
        case kPropTranslatePIDToProcess: {
            // A process with no object reads as object 0.
            std::int32_t pid = 0;
            if (qualifierSize != sizeof pid || !qualifier) {
                v.status = audio::kBadPropertySizeError;
                break;
            }
            std::memcpy(&pid, qualifier, sizeof pid);
            append(v.bytes, processes_->objectFor(pid));
            break;
        }
        case audio::kPropDevices:
            for (AudioObjectID id : devices_->listed()) append(v.bytes, id);
            break;
        case audio::kPropDefaultInputDevice:
            append(v.bytes, devices_->defaultInput());
            break;
        case audio::kPropDefaultOutputDevice:
            append(v.bytes, devices_->defaultOutput());
            break;
        default:
            v.status = audio::kUnknownPropertyError;
    }
    return v;
}

PulseAudioSystem::Value PulseAudioSystem::processValue(AudioObjectID object,
                                                       AudioObjectPropertySelector selector) const {
    Value v;
    if (selector == kPropProcessPID) {
        append(v.bytes, processes_->pidOf(object).value_or(0));
    } else if (selector == kPropProcessRunsOutput) {
        append(v.bytes, UInt32{processes_->runsOutput(object).value_or(false) ? 1u : 0u});
    } else {
        v.status = audio::kUnknownPropertyError;
    }
    return v;
}

PulseAudioSystem::Value PulseAudioSystem::deviceValue(const ServerDevice& device,
                                                      const AudioObjectPropertyAddress& address) const {
    Value v;
    switch (address.mSelector) {
        case audio::kPropStreamConfiguration: {
            std::vector<UInt32> buffers;
            if (address.mScope == audio::kScopeInput) {
                if (!device.isSink) buffers.push_back(device.channels);
            } else if (address.mScope == audio::kScopeOutput) {
                if (device.isSink) buffers.push_back(device.channels);
            } else {
                v.status = audio::kUnknownPropertyError;
                break;
            }
            v.bytes = configurationBytes(buffers);
            break;
        }
        case audio::kPropDeviceUID:
            v.text = device.name;
            break;
        case audio::kPropName:
            v.text = device.description;
            break;
        case audio::kPropNominalSampleRate:
            append(v.bytes, Float64{device.rate});
            break;
        case audio::kPropBufferFrameSize:
            append(v.bytes, bufferFrames(device));
            break;
        default:
            v.status = audio::kUnknownPropertyError;
    }
    return v;
}

PulseAudioSystem::Value PulseAudioSystem::aggregateValue(const model::Aggregate& aggregate,
                                                         const AudioObjectPropertyAddress& address) const {
    Value v;
    std::optional<ServerDevice> main = devices_->byId(aggregate.main);
    switch (address.mSelector) {
        case audio::kPropDeviceUID:
            v.text = aggregate.uid;
            break;
        case audio::kPropName:
            v.text = aggregate.name;
            break;
        case audio::kPropNominalSampleRate:
            if (main) {
                append(v.bytes, Float64{main->rate});
            } else {
                v.status = audio::kUnknownPropertyError;
            }
            break;
        case audio::kPropBufferFrameSize:
            append(v.bytes, aggregate.bufferFrames > 0 ? aggregate.bufferFrames : main ? bufferFrames(*main) : 0);
            break;
        case audio::kPropStreamConfiguration: {
            std::vector<UInt32> buffers;
            if (address.mScope == audio::kScopeInput) {
                if (aggregate.hasTap) buffers.push_back(kTapChannels);
            } else if (address.mScope == audio::kScopeOutput) {
                if (main) buffers.push_back(main->channels);
            } else {
                v.status = audio::kUnknownPropertyError;
                break;
            }
            v.bytes = configurationBytes(buffers);
            break;
        }
        default:
            v.status = audio::kUnknownPropertyError;
    }
    return v;
}

bool PulseAudioSystem::exists(AudioObjectID object) const {
    return object == audio::kSystemObject || devices_->byId(object) || io_->table().aggregate(object) || io_->table().isTap(object) ||
           processes_->pidOf(object);
}

OSStatus PulseAudioSystem::AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                                          const AudioObjectPropertyAddress* inAddress,
                                                          UInt32 inQualifierDataSize, const void* inQualifierData,
                                                          UInt32* outDataSize) {
    if (!inAddress || !outDataSize) return audio::kInvalidParameterError;
    Value v = read(inObjectID, *inAddress, inQualifierDataSize, inQualifierData);
    if (v.status == 0) {
        *outDataSize = v.text ? static_cast<UInt32>(sizeof(audio::StringRef)) : static_cast<UInt32>(v.bytes.size());
    }
    return v.status;
}

OSStatus PulseAudioSystem::AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                                      const AudioObjectPropertyAddress* inAddress,
                                                      UInt32 inQualifierDataSize, const void* inQualifierData,
                                                      UInt32* ioDataSize, void* outData) {
    if (!inAddress || !ioDataSize || !outData) return audio::kInvalidParameterError;
    Value v = read(inObjectID, *inAddress, inQualifierDataSize, inQualifierData);
    if (v.status != 0) return v.status;
    const UInt32 size = v.text ? static_cast<UInt32>(sizeof(audio::StringRef)) : static_cast<UInt32>(v.bytes.size());
    if (*ioDataSize < size) return audio::kBadPropertySizeError;  // nothing written
    if (v.text) {
        const void* ref = strings_.make(*v.text).first;
        std::memcpy(outData, &ref, sizeof ref);
    } else if (size > 0) {
        std::memcpy(outData, v.bytes.data(), size);
    }
    *ioDataSize = size;
    return 0;
}

OSStatus PulseAudioSystem::AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                                      const AudioObjectPropertyAddress* inAddress,
                                                      UInt32 inQualifierDataSize, const void* inQualifierData,
                                                      UInt32 inDataSize, const void* inData) {
    if (!inAddress || !inData) return audio::kInvalidParameterError;
    if (inAddress->mSelector == audio::kPropBufferFrameSize && io_->table().aggregate(inObjectID)) {
        // The one writable property: an aggregate device's buffer frame size.
        if (inDataSize != sizeof(UInt32)) return audio::kBadPropertySizeError;
        UInt32 frames = 0;
        std::memcpy(&frames, inData, sizeof frames);
        if (frames == 0 || frames > model::kMaxBufferFrames) return audio::kIllegalOperationError;
        return io_->table().setAggregateBufferFrames(inObjectID, frames) ? 0 : audio::kBadObjectError;
    }
    OSStatus status = read(inObjectID, *inAddress, inQualifierDataSize, inQualifierData).status;
    return status != 0 ? status : audio::kIllegalOperationError;
}

OSStatus PulseAudioSystem::AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID,
                                                               const AudioObjectPropertyAddress* inAddress,
                                                               kit::SerialQueue* inDispatchQueue,
                                                               audio::PropertyListenerBlock inListener) {
    if (!inAddress || !inListener) return audio::kInvalidParameterError;
    if (!exists(inObjectID)) return audio::kBadObjectError;
    listeners_.add(inObjectID, *inAddress, inDispatchQueue, std::move(inListener));
    return 0;
}

OSStatus PulseAudioSystem::AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID,
                                                                  const AudioObjectPropertyAddress* inAddress,
                                                                  kit::SerialQueue* inDispatchQueue,
                                                                  audio::PropertyListenerBlock inListener) {
    if (!inAddress || !inListener) return audio::kInvalidParameterError;
    if (listeners_.remove(inObjectID, *inAddress, inDispatchQueue, inListener)) return 0;
    return exists(inObjectID) ? audio::kIllegalOperationError : audio::kBadObjectError;
}

}  // namespace tarnwick::pulse
