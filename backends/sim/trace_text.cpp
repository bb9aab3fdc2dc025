#include "backends/sim/trace_text.h"

#include <charconv>
#include <cmath>

#include "backends/sim/trace.h"

namespace tarnwick::sim {

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

}  // namespace tarnwick::sim
