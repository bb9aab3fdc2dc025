#include "backends/model/listeners.h"

namespace tarnwick::model {

namespace {
constexpr AudioObjectPropertySelector kWildcardSelector = audio::fourCC("****");
}

void ListenerRegistry::add(AudioObjectID object, const AudioObjectPropertyAddress& address, kit::SerialQueue* queue,
                           audio::PropertyListenerBlock block) {
    std::lock_guard lock(mutex_);
    listeners_.push_back(Listener{object, address, queue, std::move(block)});
}

std::size_t ListenerRegistry::notify(AudioObjectID object, AudioObjectPropertySelector selector) {
    std::vector<std::pair<kit::SerialQueue*, audio::PropertyListenerBlock>> due;
    {
        std::lock_guard lock(mutex_);
        for (const Listener& listener : listeners_) {
            if (listener.object != object) continue;
            if (listener.address.mSelector != selector && listener.address.mSelector != kWildcardSelector) continue;
            due.emplace_back(listener.queue, listener.block);
        }
    }
    // Outside the lock: a block may register further listeners.
    AudioObjectPropertyAddress changed{selector, audio::kScopeGlobal, audio::kElementMain};
    for (auto& [queue, block] : due) {
        if (queue) {
            queue->async([block = std::move(block), changed] { block(1, &changed); });
        } else {
            kit::globalAsync([block = std::move(block), changed] { block(1, &changed); });
        }
    }
    return due.size();
}

}  // namespace tarnwick::model
