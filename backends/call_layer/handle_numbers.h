#pragma once
// Names for a backend's opaque handles in the trace (unit#3, proc#1): the
// layer counts them itself, since a real backend's handles are pointers with
// no order to them. Lookups happen on real-time paths (renders), so the table
// is a fixed set of atomic slots: no lock, no allocation.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnwick::call_layer {

// Handles of every kind (object and function pointers) as table keys.
template <typename Handle>
std::uintptr_t handleKey(Handle handle) noexcept {
    return reinterpret_cast<std::uintptr_t>(handle);
}

class HandleNumbers {
public:
    // Gives `handle` the next number. With every slot taken the handle goes
    // unnamed (number 0) rather than slowing anything down.
    std::uint64_t add(std::uintptr_t handle) noexcept;
    // 0 for a handle never added (or removed since).
    std::uint64_t numberOf(std::uintptr_t handle) const noexcept;
    void remove(std::uintptr_t handle) noexcept;

    // "<prefix>#<number>", "none" for a null handle; "<prefix>?" when unknown.
    std::string name(const char* prefix, std::uintptr_t handle) const;

private:
    static constexpr std::size_t kSlots = 128;
    struct Slot {
        std::atomic<std::uintptr_t> handle{0};
        std::atomic<std::uint64_t> number{0};
    };
    std::array<Slot, kSlots> slots_;
    std::atomic<std::uint64_t> next_{1};
};

}  // namespace tarnwick::call_layer
