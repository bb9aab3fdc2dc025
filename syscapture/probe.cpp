#include "syscapture/probe.h"

#include "frame/capture_error.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "syscapture/constants.h"
#include "syscapture/output_device.h"
#include "syscapture/silent_keep_alive.h"
#include "syscapture/text_format.h"

namespace tarnwick::sys {

void runProbe() {
    // A one-shot mode keeps the signal handling the process inherited.
    releaseStopSignals();
    SilentKeepAlive keepAlive;
    try {
        const OutputDevice device = defaultOutputDevice();
        const double rate = nominalSampleRate(device.id);
        keepAlive.start(device.id, rate > 0 ? rate : fallbackSampleRate);
    } catch (const CaptureError& error) {
        log("probe: failed: " + error.description());
        exitProcess(error.noIO() ? noIOExitStatus : failedExitStatus);
    }

    const bool rendered = firstRenderSignal().waitFor(firstCycleTimeout);
    keepAlive.stop();
    if (rendered) {
        log("probe: output engine healthy (render callback arrived)");
        exitProcess(cleanExitStatus);
    }
    log("probe: keepalive started but rendered nothing in " + decimalSeconds(firstCycleTimeout) +
        " s — the output engine is not running IO");
    exitProcess(noIOExitStatus);
}

}  // namespace tarnwick::sys
