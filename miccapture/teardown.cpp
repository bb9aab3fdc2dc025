// Undoing what start built, in reverse order, logging failures and going on.

#include <chrono>
#include <string>
#include <thread>

#include "frame/log.h"
#include "miccapture/mic_capture.h"

namespace tarnwick::mic {

using namespace tarnwick::audio;

void MicCapture::stop() {
    if (stopped_.exchange(true)) return;
    listeners_.removeAll();
    if (stallTimer_) {
        stallTimer_->cancel();
        stallTimer_.reset();
    }
    if (silenceTimer_) {
        silenceTimer_->cancel();
        silenceTimer_.reset();
    }
    releaseUnit();
}

void MicCapture::releaseUnit() {
    // Cleared first, so that a callback from here on finds no unit.
    AudioUnit unit = unit_.exchange(nullptr);
    if (unit == nullptr) return;
    AudioSystem& system = audioSystem();
    if (running_) {
        OSStatus status = system.AudioOutputUnitStop(unit);
        if (status != 0) log("AudioOutputUnitStop failed (" + std::to_string(status) + ") — continuing teardown");
        running_ = false;
    }
    if (initialized_) {
        OSStatus status = system.AudioUnitUninitialize(unit);
        if (status != 0) log("AudioUnitUninitialize failed (" + std::to_string(status) + ") — continuing teardown");
        initialized_ = false;
    }
    OSStatus status = system.AudioComponentInstanceDispose(unit);
    if (status != 0) log("AudioComponentInstanceDispose failed (" + std::to_string(status) + ")");

    waitForCallbacksToLeave();
    renderList_.reset();
    renderStorage_.clear();
    converter_.reset();
    converterInput_.reset();
    converterOutput_.reset();
    converterOutputCapacity_ = 0;
}

// A stopped unit runs no callback, so this normally finds none. It matters
// when AudioOutputUnitStop failed: a callback may still be rendering into the
// memory about to be freed.
void MicCapture::waitForCallbacksToLeave() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (callbacksInside_.load() != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            // Still inside (blocked on a full pipe, say): keep the memory
            // rather than free it under the callback; the process is about to
            // end or the next attempt builds its own.
            (void)renderList_.release();
            for (auto& block : renderStorage_) (void)block.release();
            (void)converter_.release();
            (void)converterInput_.release();
            (void)converterOutput_.release();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace tarnwick::mic
