#include "backends/call_layer/handle_numbers.h"

namespace tarnwick::call_layer {

namespace {
// Marks a slot being filled, so that a reader never pairs a handle with the
// number of the slot's previous holder.
constexpr std::uintptr_t kFilling = 1;
}  // namespace

std::uint64_t HandleNumbers::add(std::uintptr_t key) noexcept {
    std::uint64_t number = next_.fetch_add(1, std::memory_order_relaxed);
    if (key == 0 || key == kFilling) return 0;
    remove(key);  // a handle the backend reuses takes the new number
    for (Slot& slot : slots_) {
        std::uintptr_t empty = 0;
        if (!slot.handle.compare_exchange_strong(empty, kFilling, std::memory_order_acquire)) continue;
        slot.number.store(number, std::memory_order_relaxed);
        slot.handle.store(key, std::memory_order_release);
        return number;
    }
    return 0;
}

std::uint64_t HandleNumbers::numberOf(std::uintptr_t key) const noexcept {
    if (key == 0 || key == kFilling) return 0;
    for (const Slot& slot : slots_) {
        if (slot.handle.load(std::memory_order_acquire) == key) return slot.number.load(std::memory_order_relaxed);
    }
    return 0;
}

void HandleNumbers::remove(std::uintptr_t key) noexcept {
    if (key == 0 || key == kFilling) return;
    for (Slot& slot : slots_) {
        std::uintptr_t expected = key;
        slot.handle.compare_exchange_strong(expected, 0, std::memory_order_release);
    }
}

std::string HandleNumbers::name(const char* prefix, std::uintptr_t key) const {
    if (key == 0) return "none";
    std::uint64_t number = numberOf(key);
    std::string text(prefix);
    text += number ? "#" + std::to_string(number) : "?";
    return text;
}

}  // namespace tarnwick::call_layer
