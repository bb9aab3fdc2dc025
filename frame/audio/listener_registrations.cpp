#include "frame/audio/listener_registrations.h"

#include <utility>

namespace tarnwick::audio {

OSStatus ListenerRegistrations::add(AudioSystem& system, AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    kit::SerialQueue* queue, PropertyListenerBlock block) {
    // Under the lock across the call, so that a removeAll never misses a
    // registration already in place.
    std::lock_guard lock(mutex_);
    const OSStatus status = system.AudioObjectAddPropertyListenerBlock(object, &address, queue, block);
    if (status == 0) registrations_.push_back(Registration{&system, object, address, queue, std::move(block)});
    return status;
}

void ListenerRegistrations::removeAll() {
    std::vector<Registration> ending;
    {
        std::lock_guard lock(mutex_);
        ending.swap(registrations_);
    }
    for (auto it = ending.rbegin(); it != ending.rend(); ++it) {
        it->system->AudioObjectRemovePropertyListenerBlock(it->object, &it->address, it->queue, it->block);
    }
}

}  // namespace tarnwick::audio
