#include "backends/call_layer/fault_table.h"

#include "frame/audio/platform_types.h"

namespace tarnwick::call_layer {

FaultTable::FaultTable(const std::vector<FaultSpec>& specs) {
    for (const FaultSpec& setup : specs) {
        entries_.push_back(std::make_unique<Entry>(setup));
        byCall_[static_cast<std::size_t>(setup.call)].push_back(entries_.back().get());
    }
}

std::optional<FaultHit> FaultTable::check(Call call, std::optional<UInt32> property, FaultScope scope) noexcept {
    std::optional<FaultHit> hit;
    for (Entry* entry : byCall_[static_cast<std::size_t>(call)]) {
        const FaultSpec& setup = entry->setup;
        if (setup.property && setup.property != property) continue;
        if (setup.scope != FaultScope::any && setup.scope != scope) continue;
        // Each entry counts every call that matches it, even one that an
        // earlier entry already fails, so its after/times read simply as
        // "the Nth matching call".
        std::uint64_t n = entry->matched.fetch_add(1, std::memory_order_relaxed) + 1;
        if (hit || n <= setup.after) continue;
        if (setup.times && n - setup.after > *setup.times) continue;
        hit = FaultHit{setup.status, setup.nullResult};
    }
    return hit;
}

FaultScope FaultTable::objectScope(UInt32 scope) noexcept {
    if (scope == audio::kScopeGlobal) return FaultScope::global;
    if (scope == audio::kScopeInput) return FaultScope::input;
    if (scope == audio::kScopeOutput) return FaultScope::output;
    return FaultScope::any;
}

FaultScope FaultTable::unitScope(UInt32 scope) noexcept {
    if (scope == audio::kUnitScopeGlobal) return FaultScope::global;
    if (scope == audio::kUnitScopeInput) return FaultScope::input;
    if (scope == audio::kUnitScopeOutput) return FaultScope::output;
    return FaultScope::any;
}

}  // namespace tarnwick::call_layer
