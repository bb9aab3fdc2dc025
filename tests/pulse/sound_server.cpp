#include "tests/pulse/sound_server.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tarnwick::testing::pulse {

namespace {

using Clock = std::chrono::steady_clock;

// Variables that would steer a server or its clients somewhere outside the
// private runtime directory.
const std::vector<std::string> outsideVariables = {
    "PULSE_SERVER", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH", "PULSE_CONFIG_PATH", "PULSE_COOKIE", "PULSE_SINK",
    "PULSE_SOURCE", "DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME",
    "XDG_CACHE_HOME", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_REMOTE", "TARNWICK_SIM_SCENARIO", "TARNWICK_SIM_TRACE",
};

std::vector<std::string> programsOf(ServerKind kind) {
    if (kind == ServerKind::PulseAudio) return {"setsid", "sh", "pulseaudio", "pactl", "pacat", "parec"};
    return {"setsid", "sh", "dbus-run-session", "pipewire", "wireplumber", "pipewire-pulse", "pw-cli", "pactl", "pacat", "parec"};
}

}  // namespace

std::string kindName(ServerKind kind) { return kind == ServerKind::PulseAudio ? "PulseAudio" : "PipeWire"; }

std::string findProgram(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = dir + "/" + program;
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

std::string missingPrograms(ServerKind kind) {
    std::string missing;
    for (const auto& p : programsOf(kind)) {
        if (findProgram(p).empty()) missing += (missing.empty() ? "" : ", ") + p;
    }
    return missing;
}

SoundServer::SoundServer(ServerKind kind) : kind_(kind) {}

SoundServer::~SoundServer() { stop(); }

void SoundServer::start() {
    // Servers fork helpers (PipeWire's three daemons under the session bus);
    // as subreaper this process inherits them when their parent dies, so that
    // stop() can reap every one of them instead of leaving zombies to init.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    dir_ = tempPath("-server");
    if (::mkdir(dir_.c_str(), 0700) != 0) throw std::runtime_error("cannot create " + dir_);
    socket_ = dir_ + "/pulse/native";

    std::map<std::string, std::string> env{{"XDG_RUNTIME_DIR", dir_}, {"HOME", dir_}};
    for (const auto& v : outsideVariables) env[v] = "";
    std::vector<std::string> args;
    if (kind_ == ServerKind::PulseAudio) {
        args = {findProgram("pulseaudio"), "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                "--realtime=no", "--high-priority=no", "--log-target=stderr", "-L", "module-native-protocol-unix"};
    } else {
        // Each daemon starts once the one it connects to answers: started
        // together, a busy machine lets the session manager look for the
        // graph's socket before it exists, and it gives up.
        args = {findProgram("dbus-run-session"), "--", "sh", "-c",
                "pipewire &"
                " until [ -S \"$XDG_RUNTIME_DIR/pipewire-0\" ]; do sleep 0.05; done;"
                " wireplumber &"
                " until pw-cli ls Metadata 2>/dev/null | grep -q '\"default\"'; do sleep 0.05; done;"
                " pipewire-pulse & wait"};
    }
    // setsid makes the server a process group of its own (the child of a
    // fork is never a group leader, so setsid runs it in place). Its leader
    // is a shell that ends the whole group when its stdin closes: when we
    // stop it, or when this test process dies without stopping it (a crash
    // included), since the kernel closes the pipe's other end then.
    args.insert(args.begin(), {findProgram("sh"), "-c", "\"$@\" & read -r _; kill -TERM 0", "sh"});
    leader_ = std::make_unique<ChildProcess>(findProgram("setsid"), args, env);
    group_ = leader_->pid();
    for (auto deadline = Clock::now() + std::chrono::seconds(10); Clock::now() < deadline;) {
        auto r = run("pactl", {"info"}, 5);
        if (r.status == 0) return;
        if (!leaderAlive()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string said = leader_->stderrText();
    stop();
    throw std::runtime_error(kindName(kind_) + " did not answer within 10 s: " + said);
}

bool SoundServer::leaderAlive() {
    if (!leader_) return false;
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(leader_->pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

bool SoundServer::running() { return leaderAlive() && run("pactl", {"info"}, 5).status == 0; }

void SoundServer::reapGroup(double seconds) {
    if (group_ <= 0) return;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    bool killed = false;
    // A zombie still counts as a member; one that is not ours to reap (it
    // should not exist, we are subreaper) must not hang the tests.
    while ((::kill(-group_, 0) == 0 || errno != ESRCH) && Clock::now() < deadline + std::chrono::seconds(5)) {
        while (::waitpid(-group_, nullptr, WNOHANG) > 0) {
        }
        if (!killed && Clock::now() > deadline) {
            ::kill(-group_, SIGKILL);
            killed = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    group_ = -1;
}

void SoundServer::kill() {
    if (!leader_) return;
    ::kill(-leader_->pid(), SIGKILL);
    leader_->wait(10);
    group_ = leader_->pid();
    reapGroup(10);
}

void SoundServer::stop() {
    if (leader_) {
        group_ = leader_->pid();
        ::kill(-group_, SIGTERM);
        leader_->wait(5);  // SIGKILLs the leader itself if it lingers
        reapGroup(5);
        leader_.reset();
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
    }
}

std::map<std::string, std::string> SoundServer::clientEnv() const {
    std::map<std::string, std::string> env{{"XDG_RUNTIME_DIR", dir_},
                                           {"HOME", dir_},
                                           {"PULSE_SERVER", "unix:" + socket_},
                                           {"TARNWICK_AUDIO", "pulse"}};
    for (const auto& v : outsideVariables) env.try_emplace(v, "");
    return env;
}

CommandResult SoundServer::run(const std::string& program, const std::vector<std::string>& args, double timeout) {
    ChildProcess child(findProgram(program), args, clientEnv());
    child.closeStdin();
    CommandResult result;
    result.status = child.wait(timeout);
    auto bytes = child.stdoutBytes();
    result.out.assign(bytes.begin(), bytes.end());
    result.err = child.stderrText();
    return result;
}

std::string SoundServer::pactl(const std::vector<std::string>& args) {
    auto r = run("pactl", args);
    if (r.status != 0) {
        std::string line = "pactl";
        for (const auto& a : args) line += " " + a;
        throw std::runtime_error(line + " failed (" + std::to_string(r.status) + "): " + r.err);
    }
    return r.out;
}

unsigned SoundServer::loadModule(const std::string& name, const std::string& arguments) {
    return static_cast<unsigned>(std::stoul(pactl({"load-module", name, arguments})));
}

std::unique_ptr<ChildProcess> SoundServer::spawn(const std::string& program, const std::vector<std::string>& args) {
    return std::make_unique<ChildProcess>(findProgram(program), args, clientEnv());
}

namespace {
std::string infoField(const std::string& info, const std::string& field) {
    std::istringstream in(info);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field + ": ", 0) == 0) return line.substr(field.size() + 2);
    }
    return "";
}

class ServersEnvironment : public ::testing::Environment {
public:
    void TearDown() override { servers().clear(); }
    static std::map<ServerKind, std::unique_ptr<SoundServer>>& servers() {
        static std::map<ServerKind, std::unique_ptr<SoundServer>> all;
        return all;
    }
};
}  // namespace

std::string SoundServer::defaultSink() { return infoField(pactl({"info"}), "Default Sink"); }
std::string SoundServer::defaultSource() { return infoField(pactl({"info"}), "Default Source"); }

// Shared servers stop when the test program ends, whatever the tests did.
[[maybe_unused]] static const auto* serversEnvironment = ::testing::AddGlobalTestEnvironment(new ServersEnvironment);

SoundServer* sharedServer(ServerKind kind, std::string& whyNot) {
    whyNot = missingPrograms(kind);
    if (!whyNot.empty()) {
        whyNot = kindName(kind) + " is not installed here (missing: " + whyNot + ")";
        return nullptr;
    }
    auto& slot = ServersEnvironment::servers()[kind];
    if (slot && !slot->running()) slot.reset();
    if (!slot) {
        slot = std::make_unique<SoundServer>(kind);
        slot->start();
    }
    return slot.get();
}

}  // namespace tarnwick::testing::pulse
