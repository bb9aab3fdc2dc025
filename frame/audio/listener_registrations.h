#pragma once
// The property listeners an engine has registered, each kept with the very
// block it registered, so that its teardown can end every registration
// before the queue they run on goes away.

#include <mutex>
#include <vector>

#include "frame/audio/audio_system.h"

namespace tarnwick::audio {

class ListenerRegistrations {
public:
    // Registers the block; keeps the registration when the system took it.
    // Returns the system's status.
    OSStatus add(AudioSystem& system, AudioObjectID object, const AudioObjectPropertyAddress& address,
                 kit::SerialQueue* queue, PropertyListenerBlock block);

    // Ends every kept registration, the newest first. A removal that fails
    // has nothing more to try: it is dropped all the same.
    void removeAll();

private:
    struct Registration {
        AudioSystem* system;
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        kit::SerialQueue* queue;
        PropertyListenerBlock block;
    };

    std::mutex mutex_;
    std::vector<Registration> registrations_;
};

}  // namespace tarnwick::audio
