#include "frame/host_clock.h"

#include <atomic>
#include <ctime>

#if defined(__APPLE__)
#include <mach/mach_time.h>
#endif

namespace tarnwick {

namespace {
std::atomic<std::uint32_t> numer{1};
std::atomic<std::uint32_t> denom{1};
std::atomic<bool> timebaseRead{false};
}  // namespace

void initHostClock() {
    if (timebaseRead.exchange(true)) return;
#if defined(__APPLE__)
    mach_timebase_info_data_t info{};
    mach_timebase_info(&info);
    numer.store(info.numer);
    denom.store(info.denom);
#endif
}

std::uint64_t hostTicks() {
#if defined(__APPLE__)
    return mach_absolute_time();
#else
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
#endif
}

double machSeconds(std::uint64_t ticks) {
    return static_cast<double>(ticks) * static_cast<double>(numer.load(std::memory_order_relaxed)) /
           static_cast<double>(denom.load(std::memory_order_relaxed)) / 1e9;
}

std::uint64_t hostTicksToNanos(std::uint64_t ticks) {
    const std::uint64_t n = numer.load(std::memory_order_relaxed);
    const std::uint64_t d = denom.load(std::memory_order_relaxed);
    if (n == d || d == 0) return ticks;
    // Split so that ticks × numer cannot overflow for any uptime.
    return ticks / d * n + ticks % d * n / d;
}

}  // namespace tarnwick
