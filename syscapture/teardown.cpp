#include "frame/audio/audio_system.h"
#include "syscapture/process_tap_capture.h"

namespace tarnwick::sys {

using namespace tarnwick::audio;

void ProcessTapCapture::stop() {
    // A stop racing another stop (or the entry's start-failure stop) tears
    // down once.
    if (stopped_.exchange(true)) return;
    listeners_.removeAll();
    silenceTimer_.reset();  // cancels and joins its thread
    teardown();
}

void ProcessTapCapture::teardown() {
    keepAlive_.stop();
    if (aggregateID_ == 0 && ioProcID_ == nullptr && tapID_ == 0) return;
    auto& system = audioSystem();
    if (aggregateID_ != 0) {
        if (ioProcID_ != nullptr) {
            // Stopped before destroyed: no IO cycle runs once the stop returns.
            system.AudioDeviceStop(aggregateID_, ioProcID_);
            system.AudioDeviceDestroyIOProcID(aggregateID_, ioProcID_);
            ioProcID_ = nullptr;
        }
        system.AudioHardwareDestroyAggregateDevice(aggregateID_);
        aggregateID_ = 0;
    }
    if (tapID_ != 0) {
        system.AudioHardwareDestroyProcessTap(tapID_);
        tapID_ = 0;
    }
}

}  // namespace tarnwick::sys
