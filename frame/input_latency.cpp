#include "frame/input_latency.h"

#include <cmath>
#include <vector>

namespace tarnwick {

using namespace tarnwick::audio;

namespace {

UInt32 framesProperty(AudioSystem& system, AudioObjectID object, AudioObjectPropertySelector selector,
                      AudioObjectPropertyScope scope) {
    const AudioObjectPropertyAddress address{selector, scope, kElementMain};
    UInt32 frames = 0;
    UInt32 size = sizeof frames;
    if (system.AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &frames) != 0 || size != sizeof frames) {
        return 0;
    }
    return frames;
}

// The latency of the device's first input stream.
UInt32 inputStreamLatency(AudioSystem& system, AudioObjectID device) {
    const AudioObjectPropertyAddress streams{kPropStreams, kScopeInput, kElementMain};
    UInt32 size = 0;
    if (system.AudioObjectGetPropertyDataSize(device, &streams, 0, nullptr, &size) != 0 ||
        size < sizeof(AudioObjectID)) {
        return 0;
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    size = static_cast<UInt32>(ids.size() * sizeof(AudioObjectID));
    if (system.AudioObjectGetPropertyData(device, &streams, 0, nullptr, &size, ids.data()) != 0 ||
        size < sizeof(AudioObjectID) || ids[0] == 0) {
        return 0;
    }
    return framesProperty(system, ids[0], kPropStreamLatency, kScopeGlobal);
}

}  // namespace

std::uint64_t inputLatencyNanos(AudioSystem& system, AudioObjectID device, double deviceRate) {
    if (device == 0 || !(deviceRate > 0) || !std::isfinite(deviceRate)) return 0;
    const double frames = static_cast<double>(framesProperty(system, device, kPropDeviceLatency, kScopeInput)) +
                          static_cast<double>(inputStreamLatency(system, device)) +
                          static_cast<double>(framesProperty(system, device, kPropSafetyOffset, kScopeInput));
    return static_cast<std::uint64_t>(std::llround(frames * 1e9 / deviceRate));
}

}  // namespace tarnwick
