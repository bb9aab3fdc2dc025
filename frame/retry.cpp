#include "frame/retry.h"

#include <string>

#include "frame/lifecycle.h"
#include "frame/log.h"

namespace tarnwick {

OSStatus startWithRetry(std::string_view label, kit::FunctionRef<OSStatus()> call,
                        kit::FunctionRef<void(std::uint32_t)> sleepMicros) {
    OSStatus status = call();
    constexpr std::size_t n = std::size(retryDelaysMicros);
    for (std::size_t r = 1; r <= n; ++r) {
        if (status == 0) return 0;
        std::uint32_t pause = retryDelaysMicros[r - 1];
        log(std::string(label) + " failed (" + std::to_string(status) + ") — retry " + std::to_string(r) + "/" +
            std::to_string(n) + " in " + std::to_string(pause / 1000) + " ms");
        sleepMicros(pause);
        status = call();
        if (status == 0) log(std::string(label) + " succeeded on retry " + std::to_string(r));
    }
    return status;
}

OSStatus startWithRetry(std::string_view label, kit::FunctionRef<OSStatus()> call) {
    return startWithRetry(label, call, [](std::uint32_t micros) { startPause(micros); });
}

}  // namespace tarnwick
