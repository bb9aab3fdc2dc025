#pragma once
// Property listeners: blocks registered for a property of an object, run on
// their queue (as queue->async items) after each change of that property.
// Listeners are never removed, as on the platform; their queues must outlive
// the changes that reach them.

#include <mutex>
#include <vector>

#include "frame/audio/audio_system.h"

namespace tarnwick::model {

class ListenerRegistry {
public:
    void add(AudioObjectID object, const AudioObjectPropertyAddress& address, kit::SerialQueue* queue,
             audio::PropertyListenerBlock block);

    // Queues every block listening to `selector` of `object`, with the
    // changed address. Returns how many were queued.
    std::size_t notify(AudioObjectID object, AudioObjectPropertySelector selector);

private:
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        kit::SerialQueue* queue;
        audio::PropertyListenerBlock block;
    };

    std::mutex mutex_;
    std::vector<Listener> listeners_;
};

}  // namespace tarnwick::model
