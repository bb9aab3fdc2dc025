#pragma once
// Object properties as every backend that answers them itself frames them:
// a read yields a value, and the size query, the copy into the caller's
// buffer and the one writable property follow the same rules whatever
// object the value came from.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "backends/model/runtime_objects.h"
#include "backends/model/string_refs.h"
#include "frame/audio/platform_types.h"
#include "frame/kit/function_ref.h"

namespace tarnwick::model {

// A property's value as it would be read now.
struct PropertyValue {
    OSStatus status = 0;
    std::vector<unsigned char> bytes;
    std::optional<std::string> text;  // string properties: each read hands out a new reference
    std::string shown;                // what a trace shows of it, where one is kept

    template <typename T>
    void append(const T& value) {
        const auto* p = reinterpret_cast<const unsigned char*>(&value);
        bytes.insert(bytes.end(), p, p + sizeof(T));
    }
    void unreadable() { status = audio::kUnknownPropertyError; }
    // What a read hands out: a string is one reference.
    UInt32 size() const;
    // The stream configuration of the scope read: `input` or `output`
    // buffers, with their channel counts, which it returns. Any other scope
    // has none: the value is unreadable.
    std::optional<std::vector<UInt32>> configuration(AudioObjectPropertyScope scope, const std::vector<UInt32>& input,
                                                     const std::vector<UInt32>& output);
};

// A device, or an aggregate device, as its properties read: what the
// backend knows of it. What it lacks reads as an unknown property.
struct DeviceFacts {
    std::optional<std::string> uid;
    std::optional<std::string> name;
    std::optional<Float64> rate;
    std::optional<UInt32> bufferFrames;
    std::vector<UInt32> inputBuffers;   // channels per buffer
    std::vector<UInt32> outputBuffers;  // likewise
    // An input configuration whose size does not match its buffer count.
    std::optional<UInt32> inputConfigurationSize;
    bool reportsLatency = false;  // its latency and safety offset read, as 0 frames
};

// The device property at `address`, with what a trace shows of it.
PropertyValue deviceValue(const DeviceFacts& device, const AudioObjectPropertyAddress& address);

// A process object as its properties read. What it lacks reads as an
// unknown property.
struct ProcessFacts {
    std::int32_t pid = 0;
    std::optional<std::string> bundleID;
    std::optional<bool> output;  // plays audio now
    std::optional<bool> input;   // records audio now
};

PropertyValue processValue(const ProcessFacts& process, AudioObjectPropertySelector selector);
// An object ID (a default device, a translated PID); 0 is none, read with status 0.
PropertyValue idValue(AudioObjectID id);
// A list of object IDs (devices, processes).
PropertyValue idListValue(const std::vector<AudioObjectID>& ids);
// The process object of the PID a read passes as its qualifier; without one
// of the right size there is nothing to translate.
PropertyValue pidTranslation(UInt32 qualifierSize, const void* qualifier,
                             kit::FunctionRef<AudioObjectID(std::int32_t)> objectFor);

// AudioObjectGetPropertyDataSize of a value read.
OSStatus sizeOf(const PropertyValue& value, UInt32* outSize);
// AudioObjectGetPropertyData of a value read: a string goes out as a new
// reference (its number in `*stringNumber`); a buffer too small gets nothing.
OSStatus copyOut(const PropertyValue& value, StringRefs& strings, UInt32* ioSize, void* outData,
                 std::uint64_t* stringNumber = nullptr);
// AudioObjectSetPropertyData of the one writable property, an aggregate
// device's buffer frame size. `*asked` is the size asked for, once read.
OSStatus setBufferFrames(RuntimeObjects& objects, AudioObjectID aggregate, UInt32 size, const void* data,
                         std::optional<UInt32>* asked = nullptr);

}  // namespace tarnwick::model
