#include "miccapture/device_queries.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "frame/capture_error.h"

namespace tarnwick::mic {

using namespace tarnwick::audio;

std::vector<AudioObjectID> allDevices() {
    AudioSystem& system = audioSystem();
    AudioObjectPropertyAddress address{kPropDevices, kScopeGlobal, kElementMain};
    UInt32 size = 0;
    if (system.AudioObjectGetPropertyDataSize(kSystemObject, &address, 0, nullptr, &size) != 0 ||
        size < sizeof(AudioObjectID)) {
        return {};
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), 0);
    UInt32 byteSize = static_cast<UInt32>(ids.size() * sizeof(AudioObjectID));
    if (system.AudioObjectGetPropertyData(kSystemObject, &address, 0, nullptr, &byteSize, ids.data()) != 0) return {};
    // A list that shrank between the two calls holds only what was written.
    ids.resize(std::min<std::size_t>(ids.size(), byteSize / sizeof(AudioObjectID)));
    return ids;
}

AudioObjectID defaultInputDevice() {
    AudioObjectID device = propertyValue<AudioObjectID>(kSystemObject, kPropDefaultInputDevice, kScopeGlobal, 0);
    if (device == 0) throw CaptureError("no default input device");
    return device;
}

UInt32 channelsInStreamConfiguration(const void* bytes, std::size_t size) {
    constexpr std::size_t head = offsetof(AudioBufferList, mBuffers);
    if (bytes == nullptr || size < head) return 0;
    UInt32 claimed = 0;
    std::memcpy(&claimed, bytes, sizeof claimed);
    // A list whose buffer count does not fit its own size is malformed: read
    // only the entries that are really there.
    std::size_t fit = (size - head) / sizeof(AudioBuffer);
    std::size_t count = std::min<std::size_t>(claimed, fit);
    const auto* entries = static_cast<const unsigned char*>(bytes) + head;
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        AudioBuffer buffer;
        std::memcpy(&buffer, entries + i * sizeof(AudioBuffer), sizeof buffer);
        sum += buffer.mNumberChannels;
    }
    return static_cast<UInt32>(std::min<std::uint64_t>(sum, std::numeric_limits<UInt32>::max()));
}

UInt32 inputChannelCount(AudioObjectID device) {
    AudioSystem& system = audioSystem();
    AudioObjectPropertyAddress address{kPropStreamConfiguration, kScopeInput, kElementMain};
    UInt32 size = 0;
    if (system.AudioObjectGetPropertyDataSize(device, &address, 0, nullptr, &size) != 0 || size == 0) return 0;
    // Whatever size the device reports: a failed allocation is just another
    // failed read.
    std::unique_ptr<unsigned char[]> storage(new (std::nothrow) unsigned char[size]);
    if (!storage) return 0;
    UInt32 written = size;
    if (system.AudioObjectGetPropertyData(device, &address, 0, nullptr, &written, storage.get()) != 0) return 0;
    return channelsInStreamConfiguration(storage.get(), std::min(written, size));
}

std::optional<std::string> stringProperty(AudioObjectID object, AudioObjectPropertySelector selector) {
    AudioSystem& system = audioSystem();
    AudioObjectPropertyAddress address{selector, kScopeGlobal, kElementMain};
    StringRef ref = nullptr;
    UInt32 size = sizeof ref;
    if (system.AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &ref) != 0) return std::nullopt;
    if (ref == nullptr) return std::nullopt;
    std::optional<std::string> text = size == sizeof ref ? system.stringValue(ref) : std::nullopt;
    system.releaseString(ref);
    return text;
}

AudioObjectID inputDeviceWithUID(const std::string& uid) {
    for (AudioObjectID device : allDevices()) {
        if (inputChannelCount(device) == 0) continue;
        std::optional<std::string> deviceUID = stringProperty(device, kPropDeviceUID);
        if (deviceUID && *deviceUID == uid) return device;
    }
    throw CaptureError("no input device with UID " + uid);
}

}  // namespace tarnwick::mic
