#include "backends/call_layer/trace_text.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "backends/call_layer/trace.h"

namespace tarnwick::call_layer {

namespace {
UInt32 readU32(const void* data) {
    UInt32 value = 0;
    std::memcpy(&value, data, sizeof value);
    return value;
}

}  // namespace

std::string numberText(double value) {
    // Whole numbers as integers (48000, 1000000), others in their shortest form.
    if (std::trunc(value) == value && std::fabs(value) < 1e15) return std::to_string(static_cast<long long>(value));
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string formatText(const AudioStreamBasicDescription& f) {
    return "{rate=" + numberText(f.mSampleRate) + " format=" + fourCCText(f.mFormatID) +
           " flags=" + std::to_string(f.mFormatFlags) + " ch=" + std::to_string(f.mChannelsPerFrame) +
           " bits=" + std::to_string(f.mBitsPerChannel) + "}";
}

std::string unitScopeText(AudioUnitScope scope) {
    switch (scope) {
        case audio::kUnitScopeGlobal:
            return "global";
        case audio::kUnitScopeInput:
            return "input";
        case audio::kUnitScopeOutput:
            return "output";
        default:
            return std::to_string(scope);
    }
}

std::string objectAddressText(const AudioObjectPropertyAddress& address) {
    return fourCCText(address.mSelector) + " " + fourCCText(address.mScope) + " " + std::to_string(address.mElement);
}

// Texts are built by appending: GCC 12 at -O3 mistakes `"x" + std::string`
// for an overlapping copy (-Wrestrict).
std::string jsonLine(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string listText(const std::vector<UInt32>& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) text += ',';
        text += std::to_string(values[i]);
    }
    text += ']';
    return text;
}

std::string addressArgs(AudioObjectID object, const AudioObjectPropertyAddress* address) {
    std::string args = std::to_string(object);
    if (address) {
        args += ' ';
        args += objectAddressText(*address);
    }
    return args;
}

std::string qualifierText(UInt32 size, const void* data) {
    if (data == nullptr || size != sizeof(std::int32_t)) return "";
    std::int32_t value = 0;
    std::memcpy(&value, data, sizeof value);
    return " qualifier=" + std::to_string(value);
}

std::string callbackText(const AURenderCallbackStruct& callback) {
    return callback.inputProc ? "{proc}" : "{null}";
}

std::string unitValueText(AudioUnitPropertyID id, const void* data, UInt32 size) {
    switch (id) {
        case audio::kUnitPropEnableIO:
        case audio::kUnitPropCurrentDevice:
        case audio::kUnitPropMaximumFramesPerSlice:
            return size == sizeof(UInt32) ? std::to_string(readU32(data)) : "";
        case audio::kUnitPropStreamFormat: {
            if (size != sizeof(AudioStreamBasicDescription)) return "";
            AudioStreamBasicDescription format;
            std::memcpy(&format, data, sizeof format);
            return formatText(format);
        }
        case audio::kUnitPropSetInputCallback:
        case audio::kUnitPropSetRenderCallback: {
            if (size != sizeof(AURenderCallbackStruct)) return "";
            AURenderCallbackStruct callback;
            std::memcpy(&callback, data, sizeof callback);
            return callbackText(callback);
        }
        default:
            return "";
    }
}

}  // namespace tarnwick::call_layer
