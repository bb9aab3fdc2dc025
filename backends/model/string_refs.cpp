#include "backends/model/string_refs.h"

namespace tarnwick::model {

std::pair<const void*, std::uint64_t> StringRefs::make(std::string text) {
    std::lock_guard lock(mutex_);
    auto entry = std::make_unique<Entry>(Entry{std::move(text), next_++});
    const void* ref = entry.get();
    std::uint64_t number = entry->number;
    live_.emplace(ref, std::move(entry));
    return {ref, number};
}

std::optional<std::pair<std::string, std::uint64_t>> StringRefs::lookup(const void* ref) const {
    std::lock_guard lock(mutex_);
    auto found = live_.find(ref);
    if (found == live_.end()) return std::nullopt;
    return std::make_pair(found->second->text, found->second->number);
}

std::optional<std::uint64_t> StringRefs::release(const void* ref) {
    std::lock_guard lock(mutex_);
    auto found = live_.find(ref);
    if (found == live_.end()) return std::nullopt;
    std::uint64_t number = found->second->number;
    live_.erase(found);
    return number;
}

}  // namespace tarnwick::model
