#pragma once
// Property listeners: blocks registered for a property of an object, run on
// their queue (as queue->async items) after each change of that property,
// until removed. A removed listener's queue is not touched again, and a call
// already queued for it does nothing.

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "frame/audio/audio_system.h"

namespace tarnwick::model {

class ListenerRegistry {
public:
    void add(AudioObjectID object, const AudioObjectPropertyAddress& address, kit::SerialQueue* queue,
             audio::PropertyListenerBlock block);

    // Ends the one registration with exactly these object, address, queue
    // and block; false when there is none.
    bool remove(AudioObjectID object, const AudioObjectPropertyAddress& address, kit::SerialQueue* queue,
                const audio::PropertyListenerBlock& block);

    // Queues every block listening to `selector` of `object`, with the
    // changed address. Returns how many were queued.
    std::size_t notify(AudioObjectID object, AudioObjectPropertySelector selector);

    // AudioObjectAddPropertyListenerBlock and AudioObjectRemovePropertyListenerBlock
    // on an object that exists or not. A removal that finds nothing registered
    // so says whether the object is unknown or the tuple (a block built
    // afresh, another queue) names no registration.
    OSStatus addListener(bool exists, AudioObjectID object, const AudioObjectPropertyAddress* address,
                         kit::SerialQueue* queue, audio::PropertyListenerBlock block);
    OSStatus removeListener(bool exists, AudioObjectID object, const AudioObjectPropertyAddress* address,
                            kit::SerialQueue* queue, const audio::PropertyListenerBlock& block);

    // Registrations in place now.
    std::size_t count();

private:
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        kit::SerialQueue* queue;
        audio::PropertyListenerBlock block;
        // Cleared by remove; what is already queued checks it.
        std::shared_ptr<std::atomic<bool>> live;
    };

    std::mutex mutex_;
    std::vector<Listener> listeners_;
};

}  // namespace tarnwick::model
