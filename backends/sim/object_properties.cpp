#include "backends/sim/object_properties.h"

#include <cstring>

#include "backends/sim/layer_names.h"
#include "backends/sim/model_names.h"

namespace tarnwick::sim {

namespace {

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
            v.append(format);
            v.shown = formatText(format);
        } else {
            v.unreadable();
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
            std::vector<AudioObjectID> ids;
            for (const auto& device : ctx_.devices.all()) ids.push_back(device->id());
            for (AudioObjectID id : objects_.listedAggregates()) ids.push_back(id);
            v = model::idListValue(ids);
            break;
        }
        case audio::kPropDefaultInputDevice:
            v = model::idValue(ctx_.devices.defaultInput.load());
            break;
        case audio::kPropDefaultOutputDevice:
            v = model::idValue(ctx_.devices.defaultOutput.load());
            break;
        default:
            v.unreadable();
    }
    return v;
}

ObjectProperties::Value ObjectProperties::deviceValue(const DeviceState& device,
                                                      const AudioObjectPropertyAddress& address) const {
    const DeviceSpec& setup = device.setup();
    model::DeviceFacts facts;
    facts.uid = setup.uid;
    facts.name = setup.name;
    facts.rate = device.nominalRate();
    facts.bufferFrames = setup.bufferFrames;
    facts.inputBuffers = setup.inputBuffers;
    facts.outputBuffers = setup.outputBuffers();
    facts.inputConfigurationSize = setup.inputConfigurationSize;
    facts.reportsLatency = true;
    return model::deviceValue(facts, address);
}

ObjectProperties::Value ObjectProperties::aggregateValue(const HardwareObjects::AggregateInfo& aggregate,
                                                         const AudioObjectPropertyAddress& address) const {
    model::DeviceFacts facts;
    facts.uid = aggregate.uid;
    facts.name = aggregate.name;
    facts.rate = aggregate.main->nominalRate();
    facts.bufferFrames = aggregate.bufferFrames;
    facts.inputBuffers = aggregate.inputBuffers;
    facts.outputBuffers = aggregate.main->setup().outputBuffers();
    facts.reportsLatency = true;
    return model::deviceValue(facts, address);
}

bool ObjectProperties::exists(AudioObjectID object) const {
    return object == audio::kSystemObject || ctx_.devices.byId(object) || objects_.aggregate(object) ||
           objects_.isTap(object) || ctx_.processes.view(object);
}

OSStatus ObjectProperties::getSize(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                   Qualifier qualifier, UInt32* outSize) {
    std::string args = addressArgs(object, address) + qualifierText(qualifier.size, qualifier.data);
    if (auto hit = faultFor(Call::AudioObjectGetPropertyDataSize, address)) {
        if (hit->nullResult && outSize) *outSize = 0;
        ctx_.trace->call("AudioObjectGetPropertyDataSize", args, hit->status, "fault");
        return hit->status;
    }
    if (!address || !outSize) {
        ctx_.trace->call("AudioObjectGetPropertyDataSize", args, audio::kInvalidParameterError, "");
        return audio::kInvalidParameterError;
    }
    OSStatus status = model::sizeOf(read(object, *address, qualifier), outSize);
    ctx_.trace->call("AudioObjectGetPropertyDataSize", args, status,
                     status == 0 ? "size=" + std::to_string(*outSize) : "");
    return status;
}

OSStatus ObjectProperties::get(AudioObjectID object, const AudioObjectPropertyAddress* address, Qualifier qualifier,
                               UInt32* ioSize, void* outData) {
    std::string args = addressArgs(object, address) + qualifierText(qualifier.size, qualifier.data);
    if (ioSize) args += " size=" + std::to_string(*ioSize);
    if (auto hit = faultFor(Call::AudioObjectGetPropertyData, address)) {
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
    std::uint64_t number = 0;
    OSStatus status = model::copyOut(v, ctx_.strings, ioSize, outData, &number);
    if (status == 0 && v.text) v.shown = "str#" + std::to_string(number) + " " + quotedText(*v.text);
    ctx_.trace->call("AudioObjectGetPropertyData", args, status, status == 0 ? v.shown : "");
    return status;
}

OSStatus ObjectProperties::set(AudioObjectID object, const AudioObjectPropertyAddress* address, UInt32 size,
                               const void* data) {
    std::string args = addressArgs(object, address);
    if (auto hit = faultFor(Call::AudioObjectSetPropertyData, address)) {
        ctx_.trace->call("AudioObjectSetPropertyData", args, hit->status, "fault");
        return hit->status;
    }
    OSStatus status;
    if (!address || !data) {
        status = audio::kInvalidParameterError;
    } else if (address->mSelector == audio::kPropBufferFrameSize && objects_.aggregate(object)) {
        std::optional<UInt32> asked;
        status = model::setBufferFrames(objects_.table(), object, size, data, &asked);
        if (asked) args += " value=" + std::to_string(*asked);
    } else {
        // Everything else is read-only; unknown objects and properties say so.
        status = read(object, *address, Qualifier{}).status;
        if (status == 0) status = audio::kIllegalOperationError;
    }
    ctx_.trace->call("AudioObjectSetPropertyData", args, status, "");
    return status;
}

std::optional<FaultHit> ObjectProperties::faultFor(Call call, const AudioObjectPropertyAddress* address) const {
    std::optional<UInt32> selector = address ? std::optional<UInt32>(address->mSelector) : std::nullopt;
    FaultScope scope = address ? FaultTable::objectScope(address->mScope) : FaultScope::any;
    return ctx_.faults->check(call, selector, scope);
}

template <typename Operation>
OSStatus ObjectProperties::listenerCall(Call call, AudioObjectID object, const AudioObjectPropertyAddress* address,
                                        kit::SerialQueue* queue, Operation operation) {
    const char* name = callName(call);
    std::string args = addressArgs(object, address) + " queue=" + (queue ? quotedText(queue->label()) : "null");
    if (auto hit = faultFor(call, address)) {
        ctx_.trace->call(name, args, hit->status, "fault");
        return hit->status;
    }
    OSStatus status = operation();
    ctx_.trace->call(name, args, status, "");
    return status;
}

OSStatus ObjectProperties::addListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                       kit::SerialQueue* queue, audio::PropertyListenerBlock block) {
    return listenerCall(Call::AudioObjectAddPropertyListenerBlock, object, address, queue, [&] {
        return ctx_.listeners.addListener(exists(object), object, address, queue, std::move(block));
    });
}

OSStatus ObjectProperties::removeListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                          kit::SerialQueue* queue, const audio::PropertyListenerBlock& block) {
    return listenerCall(Call::AudioObjectRemovePropertyListenerBlock, object, address, queue, [&] {
        return ctx_.listeners.removeListener(exists(object), object, address, queue, block);
    });
}

}  // namespace tarnwick::sim
