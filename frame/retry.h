#pragma once
// Runs a start call and retries it after 150, 300 and 600 ms, logging each
// retry and a late success.

#include <cstdint>
#include <string_view>

#include "frame/audio/platform_types.h"
#include "frame/kit/function_ref.h"

namespace tarnwick {

inline constexpr std::uint32_t retryDelaysMicros[] = {150000, 300000, 600000};

// Returns the status of the last call made (0 on success). `sleepMicros`
// defaults to a sleep that a shutdown in progress cuts short.
OSStatus startWithRetry(std::string_view label, kit::FunctionRef<OSStatus()> call);
OSStatus startWithRetry(std::string_view label, kit::FunctionRef<OSStatus()> call,
                        kit::FunctionRef<void(std::uint32_t)> sleepMicros);

}  // namespace tarnwick
