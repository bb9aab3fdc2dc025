#pragma once
// Runs one of the real programs as a child with pipes on all three standard
// streams, the way a parent application does, and records what it says.

#include <sys/types.h>

#include <array>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/stream_header.h"

namespace tarnwick::testing {

class ChildProcess {
public:
    // `env` entries are added to (or replace) this process's environment;
    // an empty value removes the variable. A `pendingSignal` is raised in the
    // child before exec while blocked, so the program starts with it pending
    // (and blocked): a stop that came before it could handle one.
    ChildProcess(const std::string& path, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env = {}, int pendingSignal = 0);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void writeStdin(const std::string& text);
    void closeStdin();
    // Closes our read end of the child's stdout (the parent has gone away).
    void closeStdout();
    void sendSignal(int signal);
    // Stops (true) or resumes (false) reading the child's stdout, like a
    // parent that is busy elsewhere: the pipe fills and the child's writes wait.
    void pauseStdout(bool paused);
    pid_t pid() const { return pid_; }

    // Waits for exit; the exit status, or -1 on timeout (the child is then killed),
    // or 128 + signal when it died of a signal.
    int wait(double timeoutSeconds = 30);
    // The CPU time (user and system) the child used, once wait() returned.
    double cpuSeconds() const { return cpuSeconds_; }
    // How often the child's threads went to sleep, once wait() returned: its
    // wake-ups, which unlike CPU time barely depend on what else the machine runs.
    long sleeps() const { return sleeps_; }

    // Blocks until stderr holds a line containing `needle` (true) or the
    // timeout passes or the child's stderr closes (false).
    bool waitForStderr(const std::string& needle, double timeoutSeconds = 10);
    // With stdout paused: blocks until a thread of the child waits in a
    // write to a full pipe (Linux). False on timeout.
    bool waitUntilBlockedWriting(double timeoutSeconds = 10);
    // The same, until `needle` occurs at least `count` times.
    bool waitForStderrCount(const std::string& needle, std::size_t count, double timeoutSeconds = 10);
    // Blocks until at least `bytes` bytes arrived on stdout.
    bool waitForStdout(std::size_t bytes, double timeoutSeconds = 10);

    std::string stderrText();
    std::vector<std::string> stderrLines();
    std::vector<unsigned char> stdoutBytes();
    // Standard output read as text, for children that write lines there.
    std::vector<std::string> stdoutLines();

private:
    void pump(int fd, bool isStdout);

    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    int stderrFd_ = -1;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string err_;
    std::vector<unsigned char> out_;
    bool errClosed_ = false;
    bool outClosed_ = false;
    bool stopOutPump_ = false;
    bool outPaused_ = false;
    std::thread errThread_, outThread_;
    std::optional<int> status_;
    double cpuSeconds_ = 0;
    long sleeps_ = 0;
};

// Paths of the built programs.
std::string micProgram();
std::string sysProgram();
// The TARNWICK_AUDIO value the end-to-end suites give the programs: "sim", or
// "coreaudio" when the CoreAudio backend is built over the simulated system.
std::string audioSystemName();

// Writes `json` to a fresh temporary file and returns its path.
std::string writeTempFile(const std::string& contents, const std::string& suffix = ".json");

// A fresh temporary path that does not exist yet (for traces).
std::string tempPath(const std::string& suffix);

std::string readFile(const std::string& path);
std::vector<std::string> readLines(const std::string& path);

}  // namespace tarnwick::testing
