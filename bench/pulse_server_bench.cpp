// Side by side against one private real server: a player keeps a stereo sine
// playing into the default sink "spk" while, one after the other and for the
// same time each, parec (with its defaults and with --latency-msec=20) and
// both programs record it. For each it prints the CPU time per second of
// audio, the peak resident memory of the process image after exec, the time
// from spawn to the first PCM byte, and the audio delivered against the wall
// time since that first byte. It prints figures and asserts nothing.
//
//   pulse_server_bench [pulseaudio|pipewire|both] [seconds per recorder]

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

extern char** environ;

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
    int status = -1;
};

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
        std::string kv(*e);
        auto eq = kv.find('=');
        if (eq != std::string::npos) merged[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : overrides) {
        if (v.empty()) merged.erase(k); else merged[k] = v;
    }
    std::vector<std::string> out;
    for (const auto& [k, v] : merged) out.push_back(k + "=" + v);
    return out;
}

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
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC)) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = r.argv, envStrings = environmentWith(env);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    Figures f;
    pid_t pid = -1;
    const auto spawned = Clock::now();
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        return f;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);

    std::vector<char> buffer(1 << 16);
    std::size_t total = 0, pcmAtStop = 0;
    Clock::time_point first{}, stopAt{};
    const auto deadline = spawned + std::chrono::duration<double>(seconds);
    bool stopping = false;
    for (;;) {
        if (!stopping && Clock::now() >= deadline) {
            stopping = true;
            stopAt = Clock::now();
            pcmAtStop = total > r.headerBytes ? total - r.headerBytes : 0;
            f.peakRssMb = peakRssMb(pid);
            if (r.stopsOnStdinClose) ::close(in[1]); else ::kill(pid, SIGTERM);
        }
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        ssize_t n = ::read(out[0], buffer.data(), buffer.size());
        if (n <= 0) break;
        if (total <= r.headerBytes && total + std::size_t(n) > r.headerBytes) first = Clock::now();
        total += std::size_t(n);
    }
    if (!r.stopsOnStdinClose) ::close(in[1]);
    ::close(out[0]);
    int raw = 0;
    rusage usage{};
    ::wait4(pid, &raw, 0, &usage);
    f.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    f.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
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
    std::printf("%-26s %14s %12s %12s %10s %10s %12s %7s\n", "recorder", "CPU ms/audio s", "peak RSS MB",
                "first PCM s", "audio s", "wall s", "audio-wall ms", "status");
    for (const auto& r : recorders) {
        Figures f = measure(r, server.clientEnv(), seconds);
        std::printf("%-26s %14.2f %12.1f %12.3f %10.3f %10.3f %12.1f %7d\n", r.label.c_str(),
                    f.audioSeconds > 0 ? 1000 * f.cpuSeconds / f.audioSeconds : 0.0, f.peakRssMb, f.firstByte,
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
