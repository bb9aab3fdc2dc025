#include "syscapture/audio_processes.h"

#include <unistd.h>

#include <cstdint>
#include <vector>

namespace tarnwick::sys {

using namespace tarnwick::audio;

namespace {

constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
    return {selector, kScopeGlobal, kElementMain};
}

// 0 when the audio system has no process object for `pid` or will not say.
AudioObjectID processObjectOf(AudioSystem& system, std::int32_t pid) {
    const AudioObjectPropertyAddress address = globalAddress(kPropTranslatePIDToProcessObject);
    AudioObjectID object = 0;
    UInt32 size = sizeof object;
    if (system.AudioObjectGetPropertyData(kSystemObject, &address, sizeof pid, &pid, &size, &object) != 0) return 0;
    return size == sizeof object ? object : 0;
}

std::vector<AudioObjectID> processObjects(AudioSystem& system) {
    const AudioObjectPropertyAddress address = globalAddress(kPropProcessObjectList);
    UInt32 size = 0;
    if (system.AudioObjectGetPropertyDataSize(kSystemObject, &address, 0, nullptr, &size) != 0) return {};
    std::vector<AudioObjectID> objects(size / sizeof(AudioObjectID));
    if (objects.empty()) return objects;
    size = static_cast<UInt32>(objects.size() * sizeof(AudioObjectID));
    if (system.AudioObjectGetPropertyData(kSystemObject, &address, 0, nullptr, &size, objects.data()) != 0) return {};
    objects.resize(size / sizeof(AudioObjectID));
    return objects;
}

template <typename T>
bool readValue(AudioSystem& system, AudioObjectID object, AudioObjectPropertySelector selector, T* value) {
    const AudioObjectPropertyAddress address = globalAddress(selector);
    UInt32 size = sizeof(T);
    return system.AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, value) == 0 && size == sizeof(T);
}

}  // namespace

int otherProcessesPlayingAudio(AudioSystem& system) {
    const auto self = static_cast<std::int32_t>(::getpid());
    const AudioObjectID own = processObjectOf(system, self);
    int playing = 0;
    for (AudioObjectID object : processObjects(system)) {
        if (object == 0 || object == own) continue;
        // Our own object is also recognised by its PID, in case the
        // translation is not available where we run.
        std::int32_t pid = 0;
        if (readValue(system, object, kPropProcessPID, &pid) && pid == self) continue;
        UInt32 running = 0;
        if (readValue(system, object, kPropProcessIsRunningOutput, &running) && running != 0) ++playing;
    }
    return playing;
}

}  // namespace tarnwick::sys
