#pragma once
// A private sound server for tests: PulseAudio itself, or PipeWire with its
// session manager and PulseAudio protocol server, started in a temporary
// runtime directory that nothing else uses, reached only through its own
// socket, and stopped by process group so that nothing of it survives.

#include <sys/types.h>

#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace tarnwick::testing::pulse {

enum class ServerKind { PulseAudio, PipeWire };

std::string kindName(ServerKind kind);
inline void PrintTo(ServerKind kind, std::ostream* out) { *out << kindName(kind); }

// The absolute path of `program` on PATH, or "" when it is not installed.
std::string findProgram(const std::string& program);

// "" when every program the kind needs is installed, else what is missing.
std::string missingPrograms(ServerKind kind);

// What a finished helper command said.
struct CommandResult {
    int status = -1;
    std::string out, err;
};

class SoundServer {
public:
    explicit SoundServer(ServerKind kind);
    ~SoundServer();  // stop()
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    ServerKind kind() const { return kind_; }
    // Starts the server and waits until it answers; throws with the server's
    // own output when it does not within a few seconds.
    void start();
    // Stops every process of the server (SIGTERM, then SIGKILL), reaps them
    // and removes the runtime directory. Idempotent.
    void stop();
    // Kills the server outright, as a crash would, and reaps it; the runtime
    // directory stays until stop().
    void kill();
    // The server still answers.
    bool running();

    // The environment a client of this server runs with: the private runtime
    // directory and home (so that no cookie or state lands in the real one),
    // PULSE_SERVER on the socket, TARNWICK_AUDIO=pulse.
    std::map<std::string, std::string> clientEnv() const;
    const std::string& socketPath() const { return socket_; }
    const std::string& runtimeDir() const { return dir_; }

    // Runs a pulseutils command (pactl, pacat, parec) against this server.
    CommandResult run(const std::string& program, const std::vector<std::string>& args, double timeout = 20);
    // pactl with the arguments; throws when it fails.
    std::string pactl(const std::vector<std::string>& args);
    // Loads a module and returns its index.
    unsigned loadModule(const std::string& name, const std::string& arguments);
    // Starts a pulseutils program as a child with this server's environment.
    std::unique_ptr<ChildProcess> spawn(const std::string& program, const std::vector<std::string>& args);

    // The server's default sink and source names, from `pactl info`.
    std::string defaultSink();
    std::string defaultSource();

private:
    bool leaderAlive();
    void reapGroup(double seconds);

    ServerKind kind_;
    std::string dir_, socket_;
    std::unique_ptr<ChildProcess> leader_;
    pid_t group_ = -1;
};

// The server of `kind` that every test in this process shares, started on
// first use (and again after a test killed it). Returns nullptr, after
// GTEST_SKIP-worthy reasons in `whyNot`, when the kind cannot run here.
SoundServer* sharedServer(ServerKind kind, std::string& whyNot);

}  // namespace tarnwick::testing::pulse
