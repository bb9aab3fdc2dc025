#include "backends/sim/object_properties.h"

#include <cstring>

#include "backends/sim/layer_names.h"
#include "backends/sim/model_names.h"

namespace tarnwick::sim {

namespace {

template <typename T>
void append(std::vector<unsigned char>& bytes, const T& value) {
    const auto* p = reinterpret_cast<const unsigned char*>(&value);
    bytes.insert(bytes.end(), p, p + sizeof(T));
}

// Latency and safety offset, in frames: a simulated device captures each
// frame at the host time its cycle carries, in every scope.
constexpr UInt32 kNoLatency = 0;

}  // namespace

ObjectProperties::Value ObjectProperties::read(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                               Qualifier qualifier) const {
    if (auto process = processRead(object, address, qualifier)) return std::move(*process);
    if (object == audio::kSystemObject) return systemValue(address.mSelector);
    if (const DeviceState* device = ctx_.devices.byId(object)) return deviceValue(*device, address);
    if (auto aggregate = objects_.aggregate(object)) return aggregateValue(*aggregate, address);
    Value v;
    if (objects_.isTap(object)) {
        if (address.mSelector == audio::kPropTapFormat) {
            AudioStreamBasicDescription format = objects_.tapFormat();
            append(v.bytes, format);
            v.shown = formatText(format);
        } else {
            v.status = audio::kUnknownPropertyError;
        }
        return v;
    }
    v.status = audio::kBadObjectError;
    return v;
}

ObjectProperties::Value ObjectProperties::systemValue(AudioObjectPropertySelector selector) const {
    Value v;
    switch (selector) {
        case audio::kPropDevices: {
            std::vector<UInt32> ids;
            for (const auto& device : ctx_.devices.all()) ids.push_back(device->id());
            for (AudioObjectID id : objects_.listedAggregates()) ids.push_back(id);
            for (UInt32 id : ids) append(v.bytes, id);
            v.shown = listText(ids);
            break;
        }
        case audio::kPropDefaultInputDevice:
        case audio::kPropDefaultOutputDevice: {
            // No default device reads as device 0 with status 0.
            AudioObjectID id = selector == audio::kPropDefaultInputDevice ? ctx_.devices.defaultInput.load()
                                                                          : ctx_.devices.defaultOutput.load();
            append(v.bytes, id);
            v.shown = std::to_string(id);
            break;
        }
        default:
            v.status = audio::kUnknownPropertyError;
    }
    return v;
}

ObjectProperties::Value ObjectProperties::deviceValue(const DeviceState& device,
                                                      const AudioObjectPropertyAddress& address) const {
    const DeviceSpec& setup = device.setup();
    Value v;
    auto unreadable = [&v] { v.status = audio::kUnknownPropertyError; };
    switch (address.mSelector) {
        case audio::kPropStreamConfiguration: {
            std::vector<UInt32> buffers;
            if (address.mScope == audio::kScopeInput) {
                buffers = setup.inputBuffers;
            } else if (address.mScope == audio::kScopeOutput) {
                if (setup.outputChannels > 0) buffers.push_back(setup.outputChannels);
            } else {
                unreadable();
                break;
            }
            v.bytes = configurationBytes(buffers);
            v.shown = listText(buffers);
            if (address.mScope == audio::kScopeInput && setup.inputConfigurationSize) {
                // A configuration whose size does not match its buffer count.
                v.bytes.resize(*setup.inputConfigurationSize, 0);
                v.shown += " size=" + std::to_string(*setup.inputConfigurationSize);
            }
            break;
        }
        case audio::kPropDeviceUID:
            if (!setup.uid) {
                unreadable();
                break;
            }
            v.text = *setup.uid;
            break;
        case audio::kPropName:
            if (!setup.name) {
                unreadable();
                break;
            }
            v.text = *setup.name;
            break;
        case audio::kPropNominalSampleRate:
            if (auto rate = device.nominalRate()) {
                append(v.bytes, *rate);
                v.shown = numberText(*rate);
            } else {
                unreadable();
            }
            break;
        case audio::kPropBufferFrameSize:
            if (setup.bufferFrames) {
                append(v.bytes, *setup.bufferFrames);
                v.shown = std::to_string(*setup.bufferFrames);
            } else {
                unreadable();
            }
            break;
        case audio::kPropDeviceLatency:
        case audio::kPropSafetyOffset:
            append(v.bytes, kNoLatency);
            v.shown = "0";
            break;
        default:
            unreadable();
    }
    return v;
}

ObjectProperties::Value ObjectProperties::aggregateValue(const HardwareObjects::AggregateInfo& aggregate,
                                                         const AudioObjectPropertyAddress& address) const {
    Value v;
    switch (address.mSelector) {
        case audio::kPropDeviceUID:
            v.text = aggregate.uid;
            break;
        case audio::kPropName:
            v.text = aggregate.name;
            break;
        case audio::kPropNominalSampleRate:
            if (auto rate = aggregate.main->nominalRate()) {
                append(v.bytes, *rate);
                v.shown = numberText(*rate);
            } else {
                v.status = audio::kUnknownPropertyError;
            }
            break;
        case audio::kPropBufferFrameSize:
            append(v.bytes, aggregate.bufferFrames);
            v.shown = std::to_string(aggregate.bufferFrames);
            break;
        case audio::kPropStreamConfiguration: {
            std::vector<UInt32> buffers;
            if (address.mScope == audio::kScopeInput) {
                buffers = aggregate.inputBuffers;
            } else if (address.mScope == audio::kScopeOutput) {
                UInt32 channels = aggregate.main->setup().outputChannels;
                if (channels > 0) buffers.push_back(channels);
            } else {
                v.status = audio::kUnknownPropertyError;
                break;
            }
            v.bytes = configurationBytes(buffers);
            v.shown = listText(buffers);
            break;
        }
        case audio::kPropDeviceLatency:
        case audio::kPropSafetyOffset:
            append(v.bytes, kNoLatency);
            v.shown = "0";
            break;
        default:
            v.status = audio::kUnknownPropertyError;
    }
    return v;
}

bool ObjectProperties::exists(AudioObjectID object) const {
    return object == audio::kSystemObject || ctx_.devices.byId(object) || objects_.aggregate(object) ||
           objects_.isTap(object) || ctx_.processes.view(object);
}

OSStatus ObjectProperties::getSize(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                   Qualifier qualifier, UInt32* outSize) {
    std::string args = addressArgs(object, address) + qualifierText(qualifier.size, qualifier.data);
    std::optional<UInt32> selector = address ? std::optional<UInt32>(address->mSelector) : std::nullopt;
    FaultScope scope = address ? FaultTable::objectScope(address->mScope) : FaultScope::any;
    if (auto hit = ctx_.faults->check(Call::AudioObjectGetPropertyDataSize, selector, scope)) {
        if (hit->nullResult && outSize) *outSize = 0;
        ctx_.trace->call("AudioObjectGetPropertyDataSize", args, hit->status, "fault");
        return hit->status;
    }
    if (!address || !outSize) {
        ctx_.trace->call("AudioObjectGetPropertyDataSize", args, audio::kInvalidParameterError, "");
        return audio::kInvalidParameterError;
    }
    Value v = read(object, *address, qualifier);
    if (v.status == 0) {
        *outSize = v.text ? static_cast<UInt32>(sizeof(audio::StringRef)) : static_cast<UInt32>(v.bytes.size());
    }
    ctx_.trace->call("AudioObjectGetPropertyDataSize", args, v.status,
                     v.status == 0 ? "size=" + std::to_string(*outSize) : "");
    return v.status;
}

OSStatus ObjectProperties::get(AudioObjectID object, const AudioObjectPropertyAddress* address, Qualifier qualifier,
                               UInt32* ioSize, void* outData) {
    std::string args = addressArgs(object, address) + qualifierText(qualifier.size, qualifier.data);
    if (ioSize) args += " size=" + std::to_string(*ioSize);
    std::optional<UInt32> selector = address ? std::optional<UInt32>(address->mSelector) : std::nullopt;
    FaultScope scope = address ? FaultTable::objectScope(address->mScope) : FaultScope::any;
    if (auto hit = ctx_.faults->check(Call::AudioObjectGetPropertyData, selector, scope)) {
        // No object: the value reads as zeros (device 0, a null reference).
        if (hit->nullResult && ioSize && outData) std::memset(outData, 0, *ioSize);
        ctx_.trace->call("AudioObjectGetPropertyData", args, hit->status, hit->nullResult ? "0 fault" : "fault");
        return hit->status;
    }
    if (!address || !ioSize || !outData) {
        ctx_.trace->call("AudioObjectGetPropertyData", args, audio::kInvalidParameterError, "");
        return audio::kInvalidParameterError;
    }
    Value v = read(object, *address, qualifier);
    UInt32 size = v.text ? static_cast<UInt32>(sizeof(audio::StringRef)) : static_cast<UInt32>(v.bytes.size());
    if (v.status == 0 && *ioSize < size) v.status = audio::kBadPropertySizeError;  // nothing written
    if (v.status != 0) {
        ctx_.trace->call("AudioObjectGetPropertyData", args, v.status, "");
        return v.status;
    }
    if (v.text) {
        auto [ref, number] = ctx_.strings.make(*v.text);
        std::memcpy(outData, &ref, sizeof ref);
        v.shown = "str#" + std::to_string(number) + " " + quotedText(*v.text);
    } else if (size > 0) {
        std::memcpy(outData, v.bytes.data(), size);
    }
    *ioSize = size;
    ctx_.trace->call("AudioObjectGetPropertyData", args, 0, v.shown);
    return 0;
}

OSStatus ObjectProperties::set(AudioObjectID object, const AudioObjectPropertyAddress* address, UInt32 size,
                               const void* data) {
    std::string args = addressArgs(object, address);
    std::optional<UInt32> selector = address ? std::optional<UInt32>(address->mSelector) : std::nullopt;
    FaultScope scope = address ? FaultTable::objectScope(address->mScope) : FaultScope::any;
    if (auto hit = ctx_.faults->check(Call::AudioObjectSetPropertyData, selector, scope)) {
        ctx_.trace->call("AudioObjectSetPropertyData", args, hit->status, "fault");
        return hit->status;
    }
    OSStatus status;
    if (!address || !data) {
        status = audio::kInvalidParameterError;
    } else if (address->mSelector == audio::kPropBufferFrameSize && objects_.aggregate(object)) {
        // The one writable property: an aggregate device's buffer frame size.
        if (size != sizeof(UInt32)) {
            status = audio::kBadPropertySizeError;
        } else {
            UInt32 frames = 0;
            std::memcpy(&frames, data, sizeof frames);
            args += " value=" + std::to_string(frames);
            if (frames == 0 || frames > kMaxBufferFrames) {
                status = audio::kIllegalOperationError;
            } else {
                status = objects_.setAggregateBufferFrames(object, frames) ? 0 : audio::kBadObjectError;
            }
        }
    } else {
        // Everything else is read-only; unknown objects and properties say so.
        status = read(object, *address, Qualifier{}).status;
        if (status == 0) status = audio::kIllegalOperationError;
    }
    ctx_.trace->call("AudioObjectSetPropertyData", args, status, "");
    return status;
}

OSStatus ObjectProperties::addListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                       kit::SerialQueue* queue, audio::PropertyListenerBlock block) {
    std::string args = addressArgs(object, address) + " queue=" + (queue ? quotedText(queue->label()) : "null");
    std::optional<UInt32> selector = address ? std::optional<UInt32>(address->mSelector) : std::nullopt;
    FaultScope scope = address ? FaultTable::objectScope(address->mScope) : FaultScope::any;
    if (auto hit = ctx_.faults->check(Call::AudioObjectAddPropertyListenerBlock, selector, scope)) {
        ctx_.trace->call("AudioObjectAddPropertyListenerBlock", args, hit->status, "fault");
        return hit->status;
    }
    OSStatus status = 0;
    if (!address || !block) {
        status = audio::kInvalidParameterError;
    } else if (!exists(object)) {
        status = audio::kBadObjectError;
    } else {
        ctx_.listeners.add(object, *address, queue, std::move(block));
    }
    ctx_.trace->call("AudioObjectAddPropertyListenerBlock", args, status, "");
    return status;
}

OSStatus ObjectProperties::removeListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                          kit::SerialQueue* queue, const audio::PropertyListenerBlock& block) {
    std::string args = addressArgs(object, address) + " queue=" + (queue ? quotedText(queue->label()) : "null");
    std::optional<UInt32> selector = address ? std::optional<UInt32>(address->mSelector) : std::nullopt;
    FaultScope scope = address ? FaultTable::objectScope(address->mScope) : FaultScope::any;
    if (auto hit = ctx_.faults->check(Call::AudioObjectRemovePropertyListenerBlock, selector, scope)) {
        ctx_.trace->call("AudioObjectRemovePropertyListenerBlock", args, hit->status, "fault");
        return hit->status;
    }
    OSStatus status = 0;
    if (!address || !block) {
        status = audio::kInvalidParameterError;
    } else if (!ctx_.listeners.remove(object, *address, queue, block)) {
        // Nothing registered so: the object is unknown, or the tuple (a
        // block built afresh, another queue) names no registration.
        status = exists(object) ? audio::kIllegalOperationError : audio::kBadObjectError;
    }
    ctx_.trace->call("AudioObjectRemovePropertyListenerBlock", args, status, "");
    return status;
}

}  // namespace tarnwick::sim
