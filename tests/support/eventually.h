#pragma once
// Waiting for what another thread or process is to make true.

#include <chrono>
#include <thread>

namespace tarnwick::testing {

// Asks `condition` every `every` until it holds (true) or `seconds` have
// passed (false). The default is generous: sanitizer builds are slow.
template <typename Condition>
bool eventually(Condition&& condition, double seconds = 30,
                std::chrono::milliseconds every = std::chrono::milliseconds(1)) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(every);
    }
    return true;
}

}  // namespace tarnwick::testing
