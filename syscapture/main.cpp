// tarnwick-syscapture: records what the computer plays and streams it to
// standard output for the parent application.

#include <cstring>
#include <memory>

#include "frame/host_clock.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "frame/stdin_channel.h"
#include "frame/stream_writer.h"
#include "syscapture/probe.h"
#include "syscapture/process_tap_capture.h"
#include "syscapture/silent_keep_alive.h"

using namespace tarnwick;

namespace {
constexpr std::int32_t producerCode = 11;
}  // namespace

int main(int argc, char** argv) {
    holdClosedStandardStreams();
    setProgramName("tarnwick-syscapture");
    catchStopSignals();
    initHostClock();
    setProducerCode(producerCode);
    recordGate();
    sys::firstRenderSignal();
    initShutdown(true);

    // The program path counts too: any element equal to --probe selects the probe.
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--probe") == 0) sys::runProbe();
    }

    installStopSignals();
    startStdinThread(sysStdinReader);

    // Kept for the life of the process; exit never destroys it.
    auto engine = std::make_shared<sys::ProcessTapCapture>();
    setActiveCapture([engine] { engine->stop(); });
    runStart([&] { engine->start(); }, [&] { engine->stop(); });
    parkMainThread();
}
