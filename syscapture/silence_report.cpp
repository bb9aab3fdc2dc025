// Telling the parent why a running tap hears nothing. A tap that the system
// does not allow to record runs like any other and delivers zeros, so the
// one sign is digital silence while other programs are playing. Log-only:
// the stream and the capture go on as they are.

#include <string>

#include "frame/audio/audio_system.h"
#include "frame/log.h"
#include "frame/platform_wording.h"
#include "frame/silence_watch.h"
#include "syscapture/audio_processes.h"
#include "syscapture/constants.h"
#include "syscapture/process_tap_capture.h"

namespace tarnwick::sys {

void ProcessTapCapture::startSilenceReports() {
    if (silenceTimer_) return;
    silenceTimer_ = startSilenceChecks(listenerQueue_, [this] {
        reportSilence();
        timeline_.report();
    });
}

void ProcessTapCapture::reportSilence() {
    if (stopped_.load()) return;
    // Silence with nobody playing is what an idle computer sounds like: the
    // line waits until another program plays during the same silence.
    // The process list is read at most once a second: a quiet computer may
    // stay silent for hours, and each reading asks every audio process.
    auto run = silence_.dueRun();
    if (!run) {
        ticksUntilProcessQuery_ = 0;
    } else if (ticksUntilProcessQuery_ > 0) {
        --ticksUntilProcessQuery_;
    } else {
        ticksUntilProcessQuery_ = processQueryTicks - 1;
        const int playing = otherProcessesPlayingAudio(audio::audioSystem());
        if (playing > 0) {
            silence_.markReported(*run);
            log("tap delivers digital silence for " + oneDecimalSeconds(silenceThresholdSeconds) + " s while " +
                std::to_string(playing) + " other process(es) play audio — " +
                std::string(platformWording().tapSilenceHint));
        }
    }
    if (auto seconds = silence_.takeResumed()) {
        log("tap delivers audio again after " + oneDecimalSeconds(*seconds) + " s of digital silence");
    }
}

}  // namespace tarnwick::sys
