#include "tests/pulse/server_test.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

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

unsigned ServerTest::addSource(const std::string& name, int rate) {
    const std::string properties = "source_properties=device.description=" + name;
    if (GetParam() == ServerKind::PulseAudio) {
        addSink(name + "_feed", rate);
        return load("module-remap-source",
                    "source_name=" + name + " master=" + name + "_feed.monitor channels=2 " + properties);
    }
    // PipeWire (0.3.65) starves a remap source whose rate differs from the
    // graph's; its pipe source keeps its own rate and reads silence while
    // nothing is written.
    const std::string fifo = fifoOf(name);
    if (::mkfifo(fifo.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + fifo);
    return load("module-pipe-source", "source_name=" + name + " file=" + fifo + " format=float32le rate=" +
                                          std::to_string(rate) + " channels=2 " + properties);
}

std::string ServerTest::fifoOf(const std::string& source) { return server_->runtimeDir() + "/" + source + ".fifo"; }

ChildProcess& ServerTest::feed(const std::string& source, const std::vector<float>& samples, int rate) {
    if (GetParam() == ServerKind::PulseAudio) return play(source + "_feed", samples, rate);
    // The source reads at its own pace, so a blocking writer is paced by it.
    players_.push_back(std::make_unique<ChildProcess>(
        findProgram("sh"), std::vector<std::string>{"-c", "exec cat \"$0\" > \"$1\"", writeRaw(samples), fifoOf(source)}));
    return *players_.back();
}

ChildProcess& ServerTest::play(const std::string& sink, const std::vector<float>& samples, int rate, int channels) {
    players_.push_back(server_->spawn(
        "pacat", {"--playback", "--raw", "--format=float32le", "--rate=" + std::to_string(rate),
                  "--channels=" + std::to_string(channels), "--device=" + sink, writeRaw(samples)}));
    return *players_.back();
}

std::unique_ptr<ChildProcess> ServerTest::program(const std::string& path, const std::vector<std::string>& args) {
    return std::make_unique<ChildProcess>(path, args, server_->clientEnv());
}

std::vector<std::string> messages(ChildProcess& child, const std::string& prefix) {
    std::vector<std::string> out;
    for (auto& line : child.stderrLines()) {
        out.push_back(line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line);
    }
    return out;
}

std::string serverParamName(const ::testing::TestParamInfo<ServerKind>& info) { return kindName(info.param); }

}  // namespace tarnwick::testing::pulse
