// Telling the parent why a running microphone hears nothing. A muted input,
// or one the system does not allow this application to record, delivers
// slices of zeros like any working device, so digital silence is the one
// sign of it. Log-only: the stream and the capture go on as they are.

#include <string>

#include "frame/log.h"
#include "frame/platform_wording.h"
#include "frame/silence_watch.h"
#include "miccapture/mic_capture.h"
#include "miccapture/mic_constants.h"

namespace tarnwick::mic {

void MicCapture::startSilenceReports() {
    if (silenceTimer_) return;
    silenceTimer_ = startSilenceChecks(*listenerQueue_, [this] {
        reportSilence();
        timeline_.report();
    });
}

void MicCapture::reportSilence() {
    if (stopped_.load()) return;
    if (auto run = silence_.dueRun()) {
        silence_.markReported(*run);
        log("input delivers digital silence for " + oneDecimalSeconds(silenceThresholdSeconds) + " s — " +
            std::string(platformWording().inputSilenceHint));
    }
    if (auto seconds = silence_.takeResumed()) {
        log("input delivers audio again after " + oneDecimalSeconds(*seconds) + " s of digital silence");
    }
}

}  // namespace tarnwick::mic
