#include "tests/pulse/server_test.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "tests/pulse/test_signals.h"

namespace tarnwick::testing::pulse {

void ServerTest::SetUp() {
    std::string whyNot;
    server_ = sharedServer(GetParam(), whyNot);
    if (server_) return;
    // CI installs both servers: a missing one there is a broken setup, not
    // a reason to pass quietly.
    if (std::getenv("CI")) FAIL() << whyNot << " (CI is set, so this is an error; run scripts/setup)";
    GTEST_SKIP() << whyNot << ": real-server tests skipped";
}

void ServerTest::TearDown() {
    players_.clear();  // kills what still plays
    if (!server_ || !server_->running()) return;
    for (auto it = modules_.rbegin(); it != modules_.rend(); ++it) {
        server_->run("pactl", {"unload-module", std::to_string(*it)});
    }
    modules_.clear();
}

unsigned ServerTest::load(const std::string& module, const std::string& arguments) {
    unsigned index = server_->loadModule(module, arguments);
    modules_.push_back(index);
    return index;
}

void ServerTest::unload(unsigned index) {
    server_->pactl({"unload-module", std::to_string(index)});
    modules_.erase(std::remove(modules_.begin(), modules_.end(), index), modules_.end());
}

unsigned ServerTest::addSink(const std::string& name, int rate) {
    return load("module-null-sink", "sink_name=" + name + " rate=" + std::to_string(rate) +
                                        " channels=2 format=float32le sink_properties=device.description=" + name);
}

unsigned ServerTest::addSource(const std::string& name) {
    addSink(name + "_feed", micRate());
    // A null sink that idles renders in blocks of seconds, so a source it
    // clocks would deliver its first audio late, unlike a real microphone. A
    // silent low-latency stream into it shortens the blocks, and one record
    // from the source waits until the long block already begun is over.
    players_.push_back(server_->spawn("pacat", {"--playback", "--raw", "--format=float32le", "--latency-msec=20",
                                                "--rate=" + std::to_string(micRate()), "--channels=2",
                                                "--device=" + name + "_feed", "/dev/zero"}));
    unsigned index = load("module-remap-source", "source_name=" + name + " master=" + name +
                                                     "_feed.monitor channels=2 source_properties=device.description=" +
                                                     name);
    auto warm = server_->spawn("parec", {"--raw", "--latency-msec=20", "--device=" + name});
    if (!warm->waitForStdout(1, 10)) throw std::runtime_error("source " + name + " delivers nothing");
    return index;
}

namespace {
// Right after PipeWire starts, its session manager may not yet take
// defaults ("Not supported"), and it applies one a moment after pactl
// returns: ask again until the server reports the device as its default.
void makeDefault(SoundServer& server, const std::string& what, const std::string& name) {
    std::string now;
    for (int i = 0; i < 250; ++i) {
        server.run("pactl", {"set-default-" + what, name});
        now = what == "sink" ? server.defaultSink() : server.defaultSource();
        if (now == name) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FAIL() << "the default " << what << " stays " << now << ", not " << name;
}
}  // namespace

void ServerTest::setDefaultSink(const std::string& name) { makeDefault(*server_, "sink", name); }
void ServerTest::setDefaultSource(const std::string& name) { makeDefault(*server_, "source", name); }

void ServerTest::speakerAndMicrophoneWithSound() {
    addSink("spk", 48000);
    setDefaultSink("spk");
    addSource("mic");
    setDefaultSource("mic");
    play("spk", stereoSine(48000, 60, 440, 0.3, 0.3), 48000);
}

std::string ServerTest::micStartLine(const std::string& name) const {
    return "capture started on \"" + name + "\": device " + std::to_string(micRate()) + " Hz 2ch → 48000 Hz 1ch (" +
           (micRate() == 48000 ? "no resampling" : "resampled") + ")";
}

ChildProcess& ServerTest::feed(const std::string& source, const std::vector<float>& samples) {
    return play(source + "_feed", samples, micRate());
}

ChildProcess& ServerTest::play(const std::string& sink, const std::vector<float>& samples, int rate, int channels) {
    players_.push_back(server_->spawn(
        // Verbose, so that the player tells of its own underruns.
        "pacat", {"--playback", "--verbose", "--raw", "--format=float32le", "--rate=" + std::to_string(rate),
                  "--channels=" + std::to_string(channels), "--device=" + sink, writeRaw(samples)}));
    return *players_.back();
}

ChildProcess& ServerTest::witness(const std::string& device, int rate, int channels) {
    players_.push_back(server_->spawn("parec", {"--raw", "--format=float32le", "--latency-msec=20",
                                                "--rate=" + std::to_string(rate),
                                                "--channels=" + std::to_string(channels), "--device=" + device}));
    return *players_.back();
}

std::vector<float> ServerTest::witnessed(ChildProcess& witness) {
    witness.sendSignal(SIGINT);
    witness.wait(10);
    std::vector<unsigned char> bytes = witness.stdoutBytes();
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

bool ServerTest::underran(ChildProcess& player) {
    return player.stderrText().find("underrun") != std::string::npos;
}

ServerTest::Outside ServerTest::outsideCause(int attempt, bool lost, bool lostAtSource, ChildProcess& player) {
    if (!lost || !(lostAtSource || underran(player))) return Outside::None;
    if (attempt >= kPlayerAttempts) return Outside::Unjudged;
    std::cout << "the player underran (a witness on the same device missed the same audio, or the player said so): "
                 "repeating this case\n";
    return Outside::Repeat;
}

std::unique_ptr<ChildProcess> ServerTest::program(const std::string& path, const std::vector<std::string>& args) {
    return std::make_unique<ChildProcess>(path, args, server_->clientEnv());
}

std::vector<std::string> messages(ChildProcess& child, const std::string& prefix) {
    std::vector<std::string> out;
    for (auto& line : child.stderrLines()) {
        std::string message = line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line;
        // The first cycles' statistics come from the IO queue and may land
        // between the shutdown lines when a device change comes that early.
        if (message.rfind("cb ", 0) == 0 || message.rfind("callback rate after", 0) == 0) continue;
        // Timeline and skipped-audio lines come from a periodic tick and may
        // land anywhere, also between the shutdown lines.
        if (message.rfind("timeline: ", 0) == 0 || message.find(" of audio — filled with silence") != std::string::npos) {
            continue;
        }
        out.push_back(std::move(message));
    }
    return out;
}

std::string serverParamName(const ::testing::TestParamInfo<ServerKind>& info) { return kindName(info.param); }

}  // namespace tarnwick::testing::pulse
