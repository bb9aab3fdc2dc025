#include "backends/model/property_value.h"

#include <cstring>

#include "backends/call_layer/trace_text.h"
#include "backends/model/limits.h"
#include "backends/model/stream_formats.h"

namespace tarnwick::model {

namespace {

// A number the object may lack, and how the trace shows it.
template <typename T>
void readNumber(PropertyValue& v, const std::optional<T>& value, std::string (*text)(double)) {
    if (!value) {
        v.unreadable();
        return;
    }
    v.append(*value);
    v.shown = text(static_cast<double>(*value));
}

// A string the object may lack.
void readText(PropertyValue& v, const std::optional<std::string>& text) {
    v.text = text;
    if (!text) v.unreadable();
}

std::string wholeText(double value) { return std::to_string(static_cast<UInt32>(value)); }

}  // namespace

UInt32 PropertyValue::size() const {
    return text ? static_cast<UInt32>(sizeof(audio::StringRef)) : static_cast<UInt32>(bytes.size());
}

std::optional<std::vector<UInt32>> PropertyValue::configuration(AudioObjectPropertyScope scope,
                                                                const std::vector<UInt32>& input,
                                                                const std::vector<UInt32>& output) {
    const std::vector<UInt32>* buffers = scope == audio::kScopeInput    ? &input
                                         : scope == audio::kScopeOutput ? &output
                                                                        : nullptr;
    if (!buffers) {
        unreadable();
        return std::nullopt;
    }
    bytes = configurationBytes(*buffers);
    return *buffers;
}

PropertyValue deviceValue(const DeviceFacts& device, const AudioObjectPropertyAddress& address) {
    PropertyValue v;
    switch (address.mSelector) {
        case audio::kPropStreamConfiguration:
            if (auto buffers = v.configuration(address.mScope, device.inputBuffers, device.outputBuffers)) {
                v.shown = call_layer::listText(*buffers);
                if (address.mScope == audio::kScopeInput && device.inputConfigurationSize) {
                    v.bytes.resize(*device.inputConfigurationSize, 0);
                    v.shown += " size=" + std::to_string(*device.inputConfigurationSize);
                }
            }
            break;
        case audio::kPropDeviceUID:
            readText(v, device.uid);
            break;
        case audio::kPropName:
            readText(v, device.name);
            break;
        case audio::kPropNominalSampleRate:
            readNumber(v, device.rate, call_layer::numberText);
            break;
        case audio::kPropBufferFrameSize:
            readNumber(v, device.bufferFrames, wholeText);
            break;
        case audio::kPropDeviceLatency:
        case audio::kPropSafetyOffset:
            readNumber(v, device.reportsLatency ? std::optional<UInt32>(0) : std::nullopt, wholeText);
            break;
        default:
            v.unreadable();
    }
    return v;
}

PropertyValue processValue(const ProcessFacts& process, AudioObjectPropertySelector selector) {
    PropertyValue v;
    auto flag = [&v](std::optional<bool> value) {
        if (!value) return v.unreadable();
        v.append(UInt32{*value ? 1u : 0u});
        v.shown = *value ? "1" : "0";
    };
    switch (selector) {
        case audio::kPropProcessPID:
            v.append(process.pid);
            v.shown = std::to_string(process.pid);
            break;
        case audio::kPropProcessBundleID:
            readText(v, process.bundleID);
            break;
        case audio::kPropProcessIsRunning:
            flag(process.output && process.input ? std::optional<bool>(*process.output || *process.input)
                                                 : std::nullopt);
            break;
        case audio::kPropProcessIsRunningInput:
            flag(process.input);
            break;
        case audio::kPropProcessIsRunningOutput:
            flag(process.output);
            break;
        default:
            v.unreadable();
    }
    return v;
}

PropertyValue idValue(AudioObjectID id) {
    PropertyValue v;
    v.append(id);
    v.shown = std::to_string(id);
    return v;
}

PropertyValue idListValue(const std::vector<AudioObjectID>& ids) {
    PropertyValue v;
    for (AudioObjectID id : ids) v.append(id);
    v.shown = call_layer::listText(ids);
    return v;
}

PropertyValue pidTranslation(UInt32 qualifierSize, const void* qualifier,
                             kit::FunctionRef<AudioObjectID(std::int32_t)> objectFor) {
    std::int32_t pid = 0;
    if (!qualifier || qualifierSize != sizeof pid) {
        PropertyValue v;
        v.status = audio::kBadPropertySizeError;
        return v;
    }
    std::memcpy(&pid, qualifier, sizeof pid);
    return idValue(objectFor(pid));
}

OSStatus sizeOf(const PropertyValue& value, UInt32* outSize) {
    if (value.status == 0) *outSize = value.size();
    return value.status;
}

OSStatus copyOut(const PropertyValue& value, StringRefs& strings, UInt32* ioSize, void* outData,
                 std::uint64_t* stringNumber) {
    if (value.status != 0) return value.status;
    const UInt32 size = value.size();
    if (*ioSize < size) return audio::kBadPropertySizeError;
    if (value.text) {
        auto [ref, number] = strings.make(*value.text);
        std::memcpy(outData, &ref, sizeof ref);
        if (stringNumber) *stringNumber = number;
    } else if (size > 0) {
        std::memcpy(outData, value.bytes.data(), size);
    }
    *ioSize = size;
    return 0;
}

OSStatus setBufferFrames(RuntimeObjects& objects, AudioObjectID aggregate, UInt32 size, const void* data,
                         std::optional<UInt32>* asked) {
    if (size != sizeof(UInt32)) return audio::kBadPropertySizeError;
    UInt32 frames = 0;
    std::memcpy(&frames, data, sizeof frames);
    if (asked) *asked = frames;
    if (frames == 0 || frames > kMaxBufferFrames) return audio::kIllegalOperationError;
    return objects.setAggregateBufferFrames(aggregate, frames) ? 0 : audio::kBadObjectError;
}

}  // namespace tarnwick::model
