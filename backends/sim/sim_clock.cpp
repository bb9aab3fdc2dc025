#include "backends/sim/sim_clock.h"

#include <time.h>

#include <algorithm>
#include <cerrno>

namespace tarnwick::sim {

namespace {
// Longest single sleep: bounds how long a stop waits for a sleeping IO thread.
constexpr std::int64_t kMaxStepNs = 5'000'000;

timespec toTimespec(std::int64_t ns) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    return ts;
}
}  // namespace

std::int64_t monoNs() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool sleepUntil(std::int64_t deadlineNs, const std::atomic<bool>& keepGoing) noexcept {
    for (;;) {
        if (!keepGoing.load(std::memory_order_acquire)) return false;
        std::int64_t now = monoNs();
        if (now >= deadlineNs) return true;
#if defined(__APPLE__)
        // No clock_nanosleep on macOS: sleep the step relative to now.
        timespec step = toTimespec(std::min(deadlineNs - now, kMaxStepNs));
        while (nanosleep(&step, &step) == -1 && errno == EINTR) {
        }
#else
        timespec step = toTimespec(std::min(deadlineNs, now + kMaxStepNs));
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &step, nullptr) == EINTR) {
        }
#endif
    }
}

}  // namespace tarnwick::sim
