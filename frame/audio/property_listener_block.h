#pragma once
// A property listener block as the platform keeps one: copying it copies a
// reference, so every copy is the same block. The block given to
// AudioObjectAddPropertyListenerBlock is what names that registration to
// AudioObjectRemovePropertyListenerBlock later; a block built afresh from the
// same code is a different block.

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "frame/audio/platform_types.h"

namespace tarnwick::audio {

class PropertyListenerBlock {
public:
    using Body = std::function<void(UInt32 inNumberAddresses, const AudioObjectPropertyAddress* inAddresses)>;

    PropertyListenerBlock() = default;
    template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, PropertyListenerBlock> &&
                                                      std::is_constructible_v<Body, F>>>
    PropertyListenerBlock(F&& body)  // NOLINT(google-explicit-constructor): a block literal is a block
        : body_(std::make_shared<const Body>(std::forward<F>(body))) {}

    void operator()(UInt32 inNumberAddresses, const AudioObjectPropertyAddress* inAddresses) const {
        (*body_)(inNumberAddresses, inAddresses);
    }
    explicit operator bool() const { return body_ != nullptr && *body_; }

    // The same block: a copy of the one registered.
    friend bool operator==(const PropertyListenerBlock& a, const PropertyListenerBlock& b) { return a.body_ == b.body_; }

private:
    std::shared_ptr<const Body> body_;
};

}  // namespace tarnwick::audio
