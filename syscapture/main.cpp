// tarnwick-syscapture: records what the computer plays and streams it to
// standard output for the parent application.

#include <cstring>
#include <memory>

#include "frame/host_clock.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "frame/program_info.h"
#include "frame/stdin_channel.h"
#include "frame/stream_writer.h"
#include "syscapture/constants.h"
#include "syscapture/probe.h"
#include "syscapture/process_tap_capture.h"
#include "syscapture/silent_keep_alive.h"

using namespace tarnwick;

namespace {
constexpr std::string_view helpText =
    "usage: tarnwick-syscapture [--probe | --help | --version]\n"
    "Records what the computer plays and writes a 24-byte header, then 32-bit float PCM\n"
    "at the output device's rate, to standard output.\n"
    "  --probe    only check whether the output engine runs IO\n"
    "             (exit status 0 healthy, 3 not running IO, 1 failed)\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "Standard input: a line \"idle\" stops writing PCM, \"record\" resumes it; closing\n"
    "standard input, SIGTERM or SIGINT stops the capture (exit status 0).\n"
    "Exit status: 0 orderly stop, 1 start failed, 3 the audio system runs no IO.\n"
    "Diagnostics go to standard error; see tarnwick-syscapture(1).\n";
}  // namespace

int main(int argc, char** argv) {
    holdClosedStandardStreams();
    setProgramName("tarnwick-syscapture");
    catchStopSignals();
    initHostClock();
    setProducerCode(sys::producerCode);
    recordGate();
    sys::firstRenderSignal();
    initShutdown(true);

    // Other arguments are ignored, so --help and --version are looked for
    // anywhere; the first of them answers.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) printAndExit(helpText);
        if (std::strcmp(argv[i], "--version") == 0) printVersionAndExit("tarnwick-syscapture");
    }
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
