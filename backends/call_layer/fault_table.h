#pragma once
// Fault injection. Every entry counts the calls that match its filter (call,
// property, scope); after letting `after` of them through it fails the next
// `times`. When several entries fail the same call, the earliest in the
// scenario decides the status. Checking is lock-free and allocation-free, so
// it can sit on real-time paths (renders, conversions).

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "backends/call_layer/call_names.h"
#include "frame/audio/platform_types.h"

namespace tarnwick::call_layer {

enum class FaultScope { any, global, input, output };

// One FAULT object: which calls it matches and how they fail.
struct FaultSpec {
    Call call = Call::AudioObjectGetPropertyData;
    std::optional<UInt32> property;
    FaultScope scope = FaultScope::any;
    OSStatus status = 0;
    bool nullResult = false;
    std::uint64_t after = 0;
    std::optional<std::uint64_t> times;  // nullopt: unlimited
};

struct FaultHit {
    OSStatus status;
    bool nullResult;
};

class FaultTable {
public:
    explicit FaultTable(const std::vector<FaultSpec>& specs);

    // `property` and `scope` describe the call when it has them.
    std::optional<FaultHit> check(Call call, std::optional<UInt32> property = std::nullopt,
                                  FaultScope scope = FaultScope::any) noexcept;

    static FaultScope objectScope(UInt32 scope) noexcept;  // 'glob' / 'inpt' / 'outp'
    static FaultScope unitScope(UInt32 scope) noexcept;    // 0 / 1 / 2

private:
    struct Entry {
        explicit Entry(const FaultSpec& s) : setup(s) {}
        FaultSpec setup;
        std::atomic<std::uint64_t> matched{0};
    };

    std::vector<std::unique_ptr<Entry>> entries_;
    std::array<std::vector<Entry*>, kCallCount> byCall_;
};

}  // namespace tarnwick::call_layer
