// tarnwick-miccapture: records a microphone as mono float PCM at 48000 Hz on
// standard output, or lists the input devices with --list.

#include <optional>
#include <string>
#include <string_view>

#include "frame/host_clock.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "frame/program_info.h"
#include "frame/stdin_channel.h"
#include "frame/stream_writer.h"
#include "miccapture/device_list.h"
#include "miccapture/mic_capture.h"
#include "miccapture/mic_constants.h"

namespace {

[[noreturn]] void usageError(std::string_view message) {
    tarnwick::log(message);
    tarnwick::exitProcess(tarnwick::usageExitStatus);
}

constexpr std::string_view helpText =
    "usage: tarnwick-miccapture [--device <UID>] | --list | --help | --version\n"
    "Records a microphone (the default input device, or the one with the given UID)\n"
    "and writes a 24-byte header, then mono 32-bit float PCM at 48000 Hz, to standard output.\n"
    "  --device <UID>  record the input device with this persistent UID\n"
    "  --list          print the input devices as a JSON array and exit\n"
    "  --help          print this help and exit\n"
    "  --version       print the version and exit\n"
    "Closing standard input, SIGTERM or SIGINT stops the capture (exit status 0).\n"
    "Exit status: 0 orderly stop, 1 start failed, 2 command-line error, 3 the audio system runs no IO.\n"
    "Diagnostics go to standard error; see tarnwick-miccapture(1).\n";

// Left to right; --list, --help and --version act the moment the scan
// reaches them, and the first bad argument ends the scan.
std::optional<std::string> scanArguments(int argc, char** argv) {
    std::optional<std::string> requestedUID;
    int index = 1;
    while (index < argc) {
        std::string_view argument = argv[index];
        if (argument == "--list") tarnwick::mic::listInputDevices();
        if (argument == "--help") tarnwick::printAndExit(helpText);
        if (argument == "--version") tarnwick::printVersionAndExit("tarnwick-miccapture");
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
