// Audio objects and their properties over the server: the system object, the
// server's sources and sinks, and the taps and aggregate devices made at run
// time.

#include <cmath>
#include <cstring>

#include "backends/model/property_value.h"
#include "backends/model/stream_formats.h"
#include "backends/pulse/pulse_system.h"

namespace tarnwick::pulse {

namespace {

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
    if (auto pid = processes_->pidOf(object)) {
        // The server tells what a process plays, not what it records, nor its bundle.
        model::ProcessFacts process;
        process.pid = *pid;
        process.output = processes_->runsOutput(object).value_or(false);
        return model::processValue(process, address.mSelector);
    }
    if (auto device = devices_->byId(object)) return deviceValue(*device, address);
    if (auto aggregate = io_->table().aggregate(object)) return aggregateValue(*aggregate, address);
    Value v;
    if (io_->table().isTap(object)) {
        if (address.mSelector != audio::kPropTapFormat) {
            v.unreadable();
            return v;
        }
        // A stereo mixdown of what the default sink plays, at its rate.
        double rate = 48000.0;
        if (auto sink = devices_->byId(devices_->defaultOutput())) rate = sink->rate;
        v.append(floatFormat(rate, kTapChannels, false));
        return v;
    }
    v.status = audio::kBadObjectError;
    return v;
}

PulseAudioSystem::Value PulseAudioSystem::systemValue(AudioObjectPropertySelector selector, UInt32 qualifierSize,
                                                      const void* qualifier) const {
    switch (selector) {
        case audio::kPropProcessObjectList:
            return model::idListValue(processes_->objects());
        case audio::kPropTranslatePIDToProcessObject:
            return model::pidTranslation(qualifierSize, qualifier,
                                         [this](std::int32_t pid) { return processes_->objectFor(pid); });
        case audio::kPropDevices:
            return model::idListValue(devices_->listed());
        case audio::kPropDefaultInputDevice:
            return model::idValue(devices_->defaultInput());
        case audio::kPropDefaultOutputDevice:
            return model::idValue(devices_->defaultOutput());
        default: {
            Value v;
            v.unreadable();
            return v;
        }
    }
}

PulseAudioSystem::Value PulseAudioSystem::deviceValue(const ServerDevice& device,
                                                      const AudioObjectPropertyAddress& address) const {
    model::DeviceFacts facts;
    facts.uid = device.name;
    facts.name = device.description;
    facts.rate = device.rate;
    facts.bufferFrames = bufferFrames(device);
    // A source records, a sink plays: one interleaved buffer on its side.
    (device.isSink ? facts.outputBuffers : facts.inputBuffers).push_back(device.channels);
    return model::deviceValue(facts, address);
}

PulseAudioSystem::Value PulseAudioSystem::aggregateValue(const model::Aggregate& aggregate,
                                                         const AudioObjectPropertyAddress& address) const {
    std::optional<ServerDevice> main = devices_->byId(aggregate.main);
    model::DeviceFacts facts;
    facts.uid = aggregate.uid;
    facts.name = aggregate.name;
    if (main) facts.rate = main->rate;
    facts.bufferFrames = aggregate.bufferFrames > 0 ? aggregate.bufferFrames : main ? bufferFrames(*main) : 0;
    if (aggregate.hasTap) facts.inputBuffers.push_back(kTapChannels);
    if (main) facts.outputBuffers.push_back(main->channels);
    return model::deviceValue(facts, address);
}

bool PulseAudioSystem::exists(AudioObjectID object) const {
    return object == audio::kSystemObject || devices_->byId(object) || io_->table().aggregate(object) ||
           io_->table().isTap(object) || processes_->pidOf(object);
}

OSStatus PulseAudioSystem::AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                                          const AudioObjectPropertyAddress* inAddress,
                                                          UInt32 inQualifierDataSize, const void* inQualifierData,
                                                          UInt32* outDataSize) {
    if (!inAddress || !outDataSize) return audio::kInvalidParameterError;
    return model::sizeOf(read(inObjectID, *inAddress, inQualifierDataSize, inQualifierData), outDataSize);
}

OSStatus PulseAudioSystem::AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                                      const AudioObjectPropertyAddress* inAddress,
                                                      UInt32 inQualifierDataSize, const void* inQualifierData,
                                                      UInt32* ioDataSize, void* outData) {
    if (!inAddress || !ioDataSize || !outData) return audio::kInvalidParameterError;
    return model::copyOut(read(inObjectID, *inAddress, inQualifierDataSize, inQualifierData), strings_, ioDataSize,
                          outData);
}

OSStatus PulseAudioSystem::AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                                      const AudioObjectPropertyAddress* inAddress,
                                                      UInt32 inQualifierDataSize, const void* inQualifierData,
                                                      UInt32 inDataSize, const void* inData) {
    if (!inAddress || !inData) return audio::kInvalidParameterError;
    if (inAddress->mSelector == audio::kPropBufferFrameSize && io_->table().aggregate(inObjectID)) {
        return model::setBufferFrames(io_->table(), inObjectID, inDataSize, inData);
    }
    OSStatus status = read(inObjectID, *inAddress, inQualifierDataSize, inQualifierData).status;
    return status != 0 ? status : audio::kIllegalOperationError;
}

OSStatus PulseAudioSystem::AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID,
                                                               const AudioObjectPropertyAddress* inAddress,
                                                               kit::SerialQueue* inDispatchQueue,
                                                               audio::PropertyListenerBlock inListener) {
    return listeners_.addListener(exists(inObjectID), inObjectID, inAddress, inDispatchQueue, std::move(inListener));
}

OSStatus PulseAudioSystem::AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID,
                                                                  const AudioObjectPropertyAddress* inAddress,
                                                                  kit::SerialQueue* inDispatchQueue,
                                                                  audio::PropertyListenerBlock inListener) {
    return listeners_.removeListener(exists(inObjectID), inObjectID, inAddress, inDispatchQueue, inListener);
}

}  // namespace tarnwick::pulse
