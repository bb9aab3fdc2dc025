// Hardware objects, their properties, taps, aggregate devices and device IO
// through the call layer.

#include <cstring>

#include "backends/call_layer/call_layer_system.h"
#include "backends/call_layer/trace_text.h"

namespace tarnwick::call_layer {

namespace {

std::optional<UInt32> selectorOf(const AudioObjectPropertyAddress* address) {
    return address ? std::optional<UInt32>(address->mSelector) : std::nullopt;
}

FaultScope scopeOf(const AudioObjectPropertyAddress* address) {
    return address ? FaultTable::objectScope(address->mScope) : FaultScope::any;
}

bool isStringProperty(const AudioObjectPropertyAddress* address) {
    if (!address) return false;
    switch (address->mSelector) {
        case audio::kPropDeviceUID:
        case audio::kPropName:
        case audio::kPropProcessBundleID:
            return true;
        default:
            return false;
    }
}

std::string queueText(const kit::SerialQueue* queue) {
    return queue ? " queue=" + quotedText(queue->label()) : std::string(" queue=null");
}

// A property value as the trace shows it, from its bytes: a rate, one
// number, a stream format, or a list of numbers; other sizes show as their size.
std::string valueText(const AudioObjectPropertyAddress* address, const void* data, UInt32 size) {
    if (address && address->mSelector == audio::kPropNominalSampleRate && size == sizeof(Float64)) {
        Float64 rate;
        std::memcpy(&rate, data, sizeof rate);
        return numberText(rate);
    }
    if (size == sizeof(AudioStreamBasicDescription)) {
        AudioStreamBasicDescription format;
        std::memcpy(&format, data, sizeof format);
        return formatText(format);
    }
    if (size % sizeof(UInt32) != 0) return "size=" + std::to_string(size);
    std::vector<UInt32> values(size / sizeof(UInt32));
    std::memcpy(values.data(), data, size);
    if (values.size() == 1) return std::to_string(values[0]);
    return listText(values);
}

}  // namespace

void CallLayerSystem::traceCall(const char* name, Text args, OSStatus status, Text result) const {
    if (trace_->enabled()) trace_->call(name, args(), status, result());
}

void CallLayerSystem::traceCall(const char* name, Text args, OSStatus status) const {
    if (trace_->enabled()) trace_->call(name, args(), status, "");
}

OSStatus CallLayerSystem::faulted(const char* name, Text args, const FaultHit& hit, const char* result) const {
    if (trace_->enabled()) trace_->call(name, args(), hit.status, result);
    return hit.status;
}

OSStatus CallLayerSystem::passDown(Call call, Text args, kit::FunctionRef<OSStatus()> operation,
                                   const AudioObjectPropertyAddress* address) const {
    const char* name = callName(call);
    if (auto hit = faults_->check(call, selectorOf(address), scopeOf(address))) return faulted(name, args, *hit);
    OSStatus status = operation();
    traceCall(name, args, status);
    return status;
}

OSStatus CallLayerSystem::createObject(Call call, Text args, AudioObjectID* outID,
                                       kit::FunctionRef<OSStatus()> operation) const {
    const char* name = callName(call);
    if (auto hit = faults_->check(call)) {
        if (hit->nullResult && outID) *outID = 0;
        return faulted(name, args, *hit);
    }
    OSStatus status = operation();
    traceCall(name, args, status,
              [&] { return status == 0 && outID ? "id=" + std::to_string(*outID) : std::string(); });
    return status;
}

OSStatus CallLayerSystem::AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                                         const AudioObjectPropertyAddress* inAddress,
                                                         UInt32 inQualifierDataSize, const void* inQualifierData,
                                                         UInt32* outDataSize) {
    auto args = [&] { return addressArgs(inObjectID, inAddress) + qualifierText(inQualifierDataSize, inQualifierData); };
    if (auto hit = faults_->check(Call::AudioObjectGetPropertyDataSize, selectorOf(inAddress), scopeOf(inAddress))) {
        if (hit->nullResult && outDataSize) *outDataSize = 0;
        return faulted("AudioObjectGetPropertyDataSize", args, *hit);
    }
    OSStatus status =
        inner_->AudioObjectGetPropertyDataSize(inObjectID, inAddress, inQualifierDataSize, inQualifierData, outDataSize);
    traceCall("AudioObjectGetPropertyDataSize", args, status,
              [&] { return status == 0 && outDataSize ? "size=" + std::to_string(*outDataSize) : std::string(); });
    return status;
}

OSStatus CallLayerSystem::AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                     UInt32 inQualifierDataSize, const void* inQualifierData,
                                                     UInt32* ioDataSize, void* outData) {
    std::string args;
    if (trace_->enabled()) {
        args = addressArgs(inObjectID, inAddress) + qualifierText(inQualifierDataSize, inQualifierData);
        if (ioDataSize) args += " size=" + std::to_string(*ioDataSize);
    }
    auto argsText = [&] { return args; };
    if (auto hit = faults_->check(Call::AudioObjectGetPropertyData, selectorOf(inAddress), scopeOf(inAddress))) {
        // No object: the value reads as zeros (device 0, a null reference).
        if (hit->nullResult && ioDataSize && outData) std::memset(outData, 0, *ioDataSize);
        return faulted("AudioObjectGetPropertyData", argsText, *hit, hit->nullResult ? "0 fault" : "fault");
    }
    OSStatus status = inner_->AudioObjectGetPropertyData(inObjectID, inAddress, inQualifierDataSize, inQualifierData,
                                                         ioDataSize, outData);
    // Strings are numbered for the trace only.
    bool isString = trace_->enabled() && status == 0 && isStringProperty(inAddress) && outData && ioDataSize &&
                    *ioDataSize == sizeof(audio::StringRef);
    audio::StringRef ref = nullptr;
    if (isString) {
        std::memcpy(&ref, outData, sizeof ref);
        strings_.add(handleKey(ref));
    }
    traceCall("AudioObjectGetPropertyData", argsText, status, [&] {
        if (status != 0 || !ioDataSize || !outData) return std::string();
        if (isString) {
            // Shown with its text, as the simulated system shows it; the
            // look-up is the backend's, not the program's, so it is not traced.
            std::optional<std::string> text = inner_->stringValue(ref);
            return text ? stringName(ref) + " " + quotedText(*text) : stringName(ref);
        }
        return valueText(inAddress, outData, *ioDataSize);
    });
    return status;
}

OSStatus CallLayerSystem::AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                     UInt32 inQualifierDataSize, const void* inQualifierData,
                                                     UInt32 inDataSize, const void* inData) {
    auto args = [&] {
        std::string text = addressArgs(inObjectID, inAddress);
        if (inData && (inDataSize == sizeof(UInt32) || inDataSize == sizeof(Float64))) {
            text += " value=" + valueText(inAddress, inData, inDataSize);
        }
        return text;
    };
    return passDown(
        Call::AudioObjectSetPropertyData, args,
        [&] {
            return inner_->AudioObjectSetPropertyData(inObjectID, inAddress, inQualifierDataSize, inQualifierData,
                                                      inDataSize, inData);
        },
        inAddress);
}

OSStatus CallLayerSystem::AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID,
                                                              const AudioObjectPropertyAddress* inAddress,
                                                              kit::SerialQueue* inDispatchQueue,
                                                              audio::PropertyListenerBlock inListener) {
    auto args = [&] { return addressArgs(inObjectID, inAddress) + queueText(inDispatchQueue); };
    return passDown(
        Call::AudioObjectAddPropertyListenerBlock, args,
        [&] {
            return inner_->AudioObjectAddPropertyListenerBlock(inObjectID, inAddress, inDispatchQueue,
                                                               std::move(inListener));
        },
        inAddress);
}

OSStatus CallLayerSystem::AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID,
                                                                 const AudioObjectPropertyAddress* inAddress,
                                                                 kit::SerialQueue* inDispatchQueue,
                                                                 audio::PropertyListenerBlock inListener) {
    auto args = [&] { return addressArgs(inObjectID, inAddress) + queueText(inDispatchQueue); };
    return passDown(
        Call::AudioObjectRemovePropertyListenerBlock, args,
        [&] {
            return inner_->AudioObjectRemovePropertyListenerBlock(inObjectID, inAddress, inDispatchQueue,
                                                                  std::move(inListener));
        },
        inAddress);
}

OSStatus CallLayerSystem::AudioHardwareCreateProcessTap(const audio::TapDescription& inDescription,
                                                        AudioObjectID* outTapID) {
    return createObject(Call::AudioHardwareCreateProcessTap, [&] { return jsonLine(inDescription.toJson()); }, outTapID,
                        [&] { return inner_->AudioHardwareCreateProcessTap(inDescription, outTapID); });
}

OSStatus CallLayerSystem::AudioHardwareDestroyProcessTap(AudioObjectID inTapID) {
    return passDown(Call::AudioHardwareDestroyProcessTap, [&] { return std::to_string(inTapID); },
                    [&] { return inner_->AudioHardwareDestroyProcessTap(inTapID); });
}

OSStatus CallLayerSystem::AudioHardwareCreateAggregateDevice(const nlohmann::json& inDescription,
                                                             AudioObjectID* outDeviceID) {
    return createObject(Call::AudioHardwareCreateAggregateDevice, [&] { return jsonLine(inDescription); }, outDeviceID,
                        [&] { return inner_->AudioHardwareCreateAggregateDevice(inDescription, outDeviceID); });
}

OSStatus CallLayerSystem::AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID) {
    return passDown(Call::AudioHardwareDestroyAggregateDevice, [&] { return std::to_string(inDeviceID); },
                    [&] { return inner_->AudioHardwareDestroyAggregateDevice(inDeviceID); });
}

OSStatus CallLayerSystem::AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID inDevice,
                                                             kit::SerialQueue* inDispatchQueue,
                                                             audio::DeviceIOBlock inIOBlock) {
    auto args = [&] { return std::to_string(inDevice) + queueText(inDispatchQueue); };
    if (auto hit = faults_->check(Call::AudioDeviceCreateIOProcIDWithBlock)) {
        if (hit->nullResult && outIOProcID) *outIOProcID = nullptr;
        return faulted("AudioDeviceCreateIOProcIDWithBlock", args, *hit);
    }
    OSStatus status =
        inner_->AudioDeviceCreateIOProcIDWithBlock(outIOProcID, inDevice, inDispatchQueue, std::move(inIOBlock));
    if (status == 0 && outIOProcID) procs_.add(handleKey(*outIOProcID));
    traceCall("AudioDeviceCreateIOProcIDWithBlock", args, status,
              [&] { return status == 0 && outIOProcID ? procName(*outIOProcID) : std::string(); });
    return status;
}

OSStatus CallLayerSystem::AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
    return passDown(Call::AudioDeviceStart, [&] { return std::to_string(inDevice) + " " + procName(inProcID); },
                    [&] { return inner_->AudioDeviceStart(inDevice, inProcID); });
}

OSStatus CallLayerSystem::AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
    return passDown(Call::AudioDeviceStop, [&] { return std::to_string(inDevice) + " " + procName(inProcID); },
                    [&] { return inner_->AudioDeviceStop(inDevice, inProcID); });
}

OSStatus CallLayerSystem::AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID) {
    auto args = [&] { return std::to_string(inDevice) + " " + procName(inIOProcID); };
    if (auto hit = faults_->check(Call::AudioDeviceDestroyIOProcID)) {
        return faulted("AudioDeviceDestroyIOProcID", args, *hit);
    }
    std::string name = trace_->enabled() ? procName(inIOProcID) : std::string();
    OSStatus status = inner_->AudioDeviceDestroyIOProcID(inDevice, inIOProcID);
    if (status == 0) procs_.remove(handleKey(inIOProcID));
    traceCall("AudioDeviceDestroyIOProcID", [&] { return std::to_string(inDevice) + " " + name; }, status);
    return status;
}

std::optional<std::string> CallLayerSystem::stringValue(audio::StringRef ref) {
    std::optional<std::string> value = inner_->stringValue(ref);
    traceCall("CFStringGetCString", [&] { return ref ? stringName(ref) : std::string("null"); },
              value ? 0 : audio::kInvalidParameterError,
              [&] { return value ? quotedText(*value) : std::string(); });
    return value;
}

void CallLayerSystem::releaseString(audio::StringRef ref) {
    std::string name = trace_->enabled() ? (ref ? stringName(ref) : std::string("null")) : std::string();
    strings_.remove(handleKey(ref));
    inner_->releaseString(ref);
    traceCall("CFRelease", [&] { return name; }, 0);
}

}  // namespace tarnwick::call_layer
