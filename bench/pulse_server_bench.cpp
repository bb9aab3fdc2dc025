// Side by side against one private real server: a player keeps a stereo sine
// playing into the default sink "spk" while, one after the other and for the
// same time each, parec (with its defaults and with --latency-msec=20) and
// both programs record it. For each it prints the CPU time and the sleeps of
// its threads per second of audio (each one a wake-up, a figure a busy
// machine barely moves), the peak resident memory of the process image
// after exec, the time from spawn to the first PCM byte, and the audio
// delivered against the wall time since that first byte. It prints figures
// and asserts nothing.
//
//   pulse_server_bench [pulseaudio|pipewire|both] [seconds per recorder]

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/pulse/sound_server.h"
#include "tests/pulse/test_signals.h"
#include "tests/support/child_process.h"

namespace {

using namespace tarnwick::testing;
using namespace tarnwick::testing::pulse;
using Clock = std::chrono::steady_clock;

struct Recorder {
    std::string label;
    std::vector<std::string> argv;  // argv[0] is the absolute path
    std::size_t headerBytes;        // bytes before the first PCM byte
    std::size_t bytesPerSecond;     // of the PCM that follows
    bool stopsOnStdinClose;         // else SIGTERM
};

struct Figures {
    double cpuSeconds = 0, audioSeconds = 0, wallSeconds = 0, firstByte = -1, peakRssMb = 0;
    long sleeps = 0;
    int status = -1;
};

// The high-water mark of the resident set of the current process image
// (reset by exec, unlike the rusage figure, which also counts the forked
// copy of this program).
double peakRssMb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

Figures measure(const Recorder& r, const std::map<std::string, std::string>& env, double seconds) {
    Figures f;
    const auto spawned = Clock::now();
    ChildProcess child(r.argv.front(), {r.argv.begin() + 1, r.argv.end()}, env);
    const auto deadline = spawned + std::chrono::duration<double>(seconds);
    Clock::time_point first{};
    if (child.waitForStdout(r.headerBytes + 1, seconds)) first = Clock::now();
    std::this_thread::sleep_until(deadline);
    const auto stopAt = Clock::now();
    const std::size_t total = child.stdoutBytes().size();
    const std::size_t pcmAtStop = total > r.headerBytes ? total - r.headerBytes : 0;
    f.peakRssMb = peakRssMb(child.pid());
    if (r.stopsOnStdinClose) child.closeStdin(); else child.sendSignal(SIGTERM);
    f.status = child.wait();
    if (f.status == 127) std::fprintf(stderr, "cannot start %s\n", r.argv.front().c_str());
    f.cpuSeconds = child.cpuSeconds();
    f.sleeps = child.sleeps();
    f.audioSeconds = double(pcmAtStop) / double(r.bytesPerSecond);
    if (first != Clock::time_point{}) {
        f.firstByte = std::chrono::duration<double>(first - spawned).count();
        f.wallSeconds = std::chrono::duration<double>(stopAt - first).count();
    }
    return f;
}

void runOn(ServerKind kind, double seconds) {
    SoundServer server(kind);
    server.start();
    server.loadModule("module-null-sink", "sink_name=spk rate=48000 channels=2 format=float32le");
    server.pactl({"set-default-sink", "spk"});
    // The microphone program records the same stream through a real input
    // over the monitor (monitors themselves are no inputs).
    server.loadModule("module-remap-source", "source_name=benchmic master=spk.monitor channels=2");
    server.pactl({"set-default-source", "benchmic"});

    // One sine long enough for every recorder in turn.
    const double playSeconds = 4 * (seconds + 1) + 5;
    auto player = server.spawn("pacat", {"--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2",
                                         "--device=spk", writeRaw(stereoSine(48000, playSeconds, 440, 0.3, 0.3))});
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const std::string parec = findProgram("parec");
    const std::vector<std::string> parecArgs = {"--raw", "--format=float32le", "--rate=48000", "--channels=2",
                                                "--device=spk.monitor"};
    auto with = [](std::vector<std::string> a, std::vector<std::string> more) {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    const std::vector<Recorder> recorders = {
        {"parec (defaults)", with({parec}, parecArgs), 0, 48000 * 8, false},
        {"parec --latency-msec=20", with(with({parec}, parecArgs), {"--latency-msec=20"}), 0, 48000 * 8, false},
        {"tarnwick-syscapture", {sysProgram()}, 24, 48000 * 8, true},
        {"tarnwick-miccapture", {micProgram()}, 24, 48000 * 4, true},
    };

    const std::string version = server.pactl({"info"});
    auto at = version.find("Server Name: ");
    std::printf("%s — %s, %.1f s per recorder, 48000 Hz stereo float playing into \"spk\"\n", kindName(kind).c_str(),
                at == std::string::npos ? "?" : version.substr(at + 13, version.find('\n', at) - at - 13).c_str(),
                seconds);
    std::printf("%-26s %14s %14s %12s %12s %10s %10s %12s %7s\n", "recorder", "CPU ms/audio s", "sleeps/audio s",
                "peak RSS MB", "first PCM s", "audio s", "wall s", "audio-wall ms", "status");
    for (const auto& r : recorders) {
        Figures f = measure(r, server.clientEnv(), seconds);
        const double perAudioSecond = f.audioSeconds > 0 ? 1 / f.audioSeconds : 0.0;
        std::printf("%-26s %14.2f %14.1f %12.1f %12.3f %10.3f %10.3f %12.1f %7d\n", r.label.c_str(),
                    1000 * f.cpuSeconds * perAudioSecond, double(f.sleeps) * perAudioSecond, f.peakRssMb, f.firstByte,
                    f.audioSeconds, f.wallSeconds, 1000 * (f.audioSeconds - f.wallSeconds), f.status);
        std::fflush(stdout);
    }
    player.reset();
    server.stop();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string which = argc > 1 ? argv[1] : "both";
    const double seconds = argc > 2 ? std::atof(argv[2]) : 6.0;
    std::vector<ServerKind> kinds;
    if (which == "pulseaudio" || which == "both") kinds.push_back(ServerKind::PulseAudio);
    if (which == "pipewire" || which == "both") kinds.push_back(ServerKind::PipeWire);
    if (kinds.empty() || seconds <= 0) {
        std::fprintf(stderr, "usage: %s [pulseaudio|pipewire|both] [seconds per recorder]\n", argv[0]);
        return 2;
    }
    for (auto kind : kinds) {
        if (auto missing = missingPrograms(kind); !missing.empty()) {
            std::printf("%s: not installed (missing %s), skipped\n", kindName(kind).c_str(), missing.c_str());
            continue;
        }
        runOn(kind, seconds);
        std::printf("\n");
    }
    return 0;
}
