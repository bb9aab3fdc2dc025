#include "backends/model/listeners.h"

#include <algorithm>

namespace tarnwick::model {

namespace {
constexpr AudioObjectPropertySelector kWildcardSelector = audio::fourCC("****");

bool sameAddress(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b) {
    return a.mSelector == b.mSelector && a.mScope == b.mScope && a.mElement == b.mElement;
}
}  // namespace

void ListenerRegistry::add(AudioObjectID object, const AudioObjectPropertyAddress& address, kit::SerialQueue* queue,
                           audio::PropertyListenerBlock block) {
    std::lock_guard lock(mutex_);
    listeners_.push_back(
        Listener{object, address, queue, std::move(block), std::make_shared<std::atomic<bool>>(true)});
}

bool ListenerRegistry::remove(AudioObjectID object, const AudioObjectPropertyAddress& address,
                              kit::SerialQueue* queue, const audio::PropertyListenerBlock& block) {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(listeners_.begin(), listeners_.end(), [&](const Listener& listener) {
        return listener.object == object && sameAddress(listener.address, address) && listener.queue == queue &&
               listener.block == block;
    });
    if (found == listeners_.end()) return false;
    found->live->store(false);
    listeners_.erase(found);
    return true;
}

std::size_t ListenerRegistry::notify(AudioObjectID object, AudioObjectPropertySelector selector) {
    const AudioObjectPropertyAddress changed{selector, audio::kScopeGlobal, audio::kElementMain};
    // Queued under the lock, so that a remove that returned has nothing more
    // on its way to the queue (which its owner may then destroy). Queuing
    // never runs the block, which may itself add listeners.
    std::lock_guard lock(mutex_);
    std::size_t queued = 0;
    for (const Listener& listener : listeners_) {
        if (listener.object != object) continue;
        if (listener.address.mSelector != selector && listener.address.mSelector != kWildcardSelector) continue;
        auto call = [block = listener.block, live = listener.live, changed] {
            if (live->load()) block(1, &changed);
        };
        if (listener.queue) {
            listener.queue->async(std::move(call));
        } else {
            kit::globalAsync(std::move(call));
        }
        ++queued;
    }
    return queued;
}

std::size_t ListenerRegistry::count() {
    std::lock_guard lock(mutex_);
    return listeners_.size();
}

OSStatus ListenerRegistry::addListener(bool exists, AudioObjectID object, const AudioObjectPropertyAddress* address,
                                       kit::SerialQueue* queue, audio::PropertyListenerBlock block) {
    if (!address || !block) return audio::kInvalidParameterError;
    if (!exists) return audio::kBadObjectError;
    add(object, *address, queue, std::move(block));
    return 0;
}

OSStatus ListenerRegistry::removeListener(bool exists, AudioObjectID object,
                                          const AudioObjectPropertyAddress* address, kit::SerialQueue* queue,
                                          const audio::PropertyListenerBlock& block) {
    if (!address || !block) return audio::kInvalidParameterError;
    if (remove(object, *address, queue, block)) return 0;
    return exists ? audio::kIllegalOperationError : audio::kBadObjectError;
}

}  // namespace tarnwick::model
