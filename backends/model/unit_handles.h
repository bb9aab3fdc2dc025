#pragma once
// Audio unit and component handles: numbers dressed as the platform's opaque
// pointers, never pointers to our objects, so that a stale or foreign handle
// is refused instead of dereferenced. The trace names units unit#N.

#include <cstdint>
#include <string>

#include "frame/audio/platform_types.h"

namespace tarnwick::model {

constexpr std::uintptr_t kUnitHandleBase = 0x5A000000;
constexpr std::uintptr_t kComponentHandle = 0x5C000001;

inline AudioUnit unitHandle(std::uint64_t number) { return reinterpret_cast<AudioUnit>(kUnitHandleBase + number); }

inline unsigned long long unitNumber(AudioUnit unit) {
    auto value = reinterpret_cast<std::uintptr_t>(unit);
    return value > kUnitHandleBase ? value - kUnitHandleBase : 0;
}

inline std::string unitName(AudioUnit unit) { return "unit#" + std::to_string(unitNumber(unit)); }

inline AudioComponent componentHandle() { return reinterpret_cast<AudioComponent>(kComponentHandle); }

}  // namespace tarnwick::model
