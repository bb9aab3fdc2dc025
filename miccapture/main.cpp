// tarnwick-miccapture: records a microphone as mono float PCM at 48000 Hz on
// standard output, or lists the input devices with --list.

#include <optional>
#include <string>
#include <string_view>

#include "frame/host_clock.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "frame/stdin_channel.h"
#include "frame/stream_writer.h"
#include "miccapture/device_list.h"
#include "miccapture/mic_capture.h"
#include "miccapture/mic_constants.h"

namespace {

[[noreturn]] void usageError(std::string_view message) {
    tarnwick::log(message);
    tarnwick::exitProcess(2);
}

// Left to right; --list acts the moment the scan reaches it, and the first
// bad argument ends the scan.
std::optional<std::string> scanArguments(int argc, char** argv) {
    std::optional<std::string> requestedUID;
    int index = 1;
    while (index < argc) {
        std::string_view argument = argv[index];
        if (argument == "--list") tarnwick::mic::listInputDevices();
        if (argument != "--device") usageError("usage: tarnwick-miccapture [--device <UID>] | --list");
        if (index + 1 >= argc) usageError("--device requires a device UID");
        requestedUID = argv[index + 1];
        index += 2;
    }
    return requestedUID;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tarnwick;
    holdClosedStandardStreams();
    setProgramName("tarnwick-miccapture");
    catchStopSignals();
    initHostClock();
    setProducerCode(mic::producerCode);
    initShutdown(false);

    std::optional<std::string> requestedUID = scanArguments(argc, argv);

    installStopSignals();
    startStdinThread(micStdinReader);

    // Lives until the process exits; shutdown and the start failure path stop it.
    auto* engine = new mic::MicCapture(std::move(requestedUID));
    setActiveCapture([engine] { engine->stop(); });
    runStart([engine] { engine->start(); }, [engine] { engine->stop(); });
    parkMainThread();
}
