#pragma once
// Small reads of device properties. None of them reports a platform status:
// a failed read makes a device invisible or yields the caller's fallback.

#include <optional>
#include <string>
#include <vector>

#include "frame/audio/audio_system.h"

namespace tarnwick::mic {

// Every audio device ID, in the system's order; empty when the read fails.
std::vector<AudioObjectID> allDevices();

// Throws CaptureError "no default input device" when there is none.
AudioObjectID defaultInputDevice();

// Input channels summed over the device's input stream configuration; 0 on
// any failure.
UInt32 inputChannelCount(AudioObjectID device);

// The channels of a stream configuration of `size` bytes. Only the buffers
// that lie wholly inside `size` count, however many the list claims.
UInt32 channelsInStreamConfiguration(const void* bytes, std::size_t size);

// A string property in the global scope; nothing when it cannot be read.
std::optional<std::string> stringProperty(AudioObjectID object, AudioObjectPropertySelector selector);

// A fixed-size property (element 0), or `fallback` when the read fails or
// yields fewer bytes than the value has.
template <typename T>
T propertyValue(AudioObjectID object, AudioObjectPropertySelector selector, AudioObjectPropertyScope scope,
                T fallback) {
    AudioObjectPropertyAddress address{selector, scope, audio::kElementMain};
    T value{};
    UInt32 size = sizeof(T);
    OSStatus status = audio::audioSystem().AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value);
    if (status != 0 || size != sizeof(T)) return fallback;
    return value;
}

// The first input-capable device whose UID matches exactly; throws
// CaptureError "no input device with UID <uid>".
AudioObjectID inputDeviceWithUID(const std::string& uid);

}  // namespace tarnwick::mic
