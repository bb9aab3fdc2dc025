#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tarnwick::testing {

namespace {
void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// pipe2 is not on macOS.
bool closeOnExecPipe(int fds[2]) {
    if (::pipe(fds) != 0) return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
}
}  // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& env, int pendingSignal) {
    int in[2], out[2], err[2];
    if (!closeOnExecPipe(in) || !closeOnExecPipe(out) || !closeOnExecPipe(err)) throw std::runtime_error("pipe");

    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
        std::string kv(*e);
        auto eq = kv.find('=');
        if (eq != std::string::npos) merged[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    for (const auto& [k, v] : env) {
        if (v.empty()) merged.erase(k); else merged[k] = v;
    }
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : merged) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{path};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        // The child starts with default signal handling and an empty mask,
        // as a freshly spawned process would.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        if (pendingSignal != 0) {
            sigset_t blocked;
            sigemptyset(&blocked);
            sigaddset(&blocked, pendingSignal);
            sigprocmask(SIG_BLOCK, &blocked, nullptr);
            raise(pendingSignal);
        }
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdinFd_ = in[1];
    stdoutFd_ = out[0];
    stderrFd_ = err[0];
    errThread_ = std::thread([this] { pump(stderrFd_, false); });
    outThread_ = std::thread([this] { pump(stdoutFd_, true); });
}

ChildProcess::~ChildProcess() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        wait(5);
    }
    closeStdin();
    {
        std::lock_guard lock(mutex_);
        stopOutPump_ = true;
    }
    if (errThread_.joinable()) errThread_.join();
    if (outThread_.joinable()) outThread_.join();
    closeFd(stderrFd_);
    std::lock_guard lock(mutex_);
    closeFd(stdoutFd_);
}

void ChildProcess::pump(int fd, bool isStdout) {
    char buffer[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, 50);
        bool paused = false;
        {
            std::lock_guard lock(mutex_);
            if (isStdout && (stopOutPump_ || stdoutFd_ < 0)) break;
            paused = isStdout && outPaused_;
        }
        if (paused) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (ready == 0) {
            if (!isStdout) {
                std::lock_guard lock(mutex_);
                if (stopOutPump_ && status_) break;
            }
            continue;
        }
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard lock(mutex_);
        if (isStdout) out_.insert(out_.end(), buffer, buffer + n);
        else err_.append(buffer, static_cast<size_t>(n));
        changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    if (isStdout) outClosed_ = true; else errClosed_ = true;
    changed_.notify_all();
}

void ChildProcess::writeStdin(const std::string& text) {
    if (stdinFd_ < 0) return;
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(stdinFd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void ChildProcess::closeStdin() { closeFd(stdinFd_); }

void ChildProcess::closeStdout() {
    {
        std::lock_guard lock(mutex_);
        stopOutPump_ = true;
    }
    if (outThread_.joinable()) outThread_.join();
    std::lock_guard lock(mutex_);
    closeFd(stdoutFd_);
}

void ChildProcess::sendSignal(int signal) { ::kill(pid_, signal); }

void ChildProcess::pauseStdout(bool paused) {
    std::lock_guard lock(mutex_);
    outPaused_ = paused;
}

int ChildProcess::wait(double timeoutSeconds) {
    if (status_) return *status_;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
        int raw = 0;
        rusage usage{};
        pid_t r = ::wait4(pid_, &raw, WNOHANG, &usage);
        if (r == pid_) {
            int code = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            cpuSeconds_ = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                          double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
            sleeps_ = usage.ru_nvcsw;
            std::lock_guard lock(mutex_);
            status_ = code;
            changed_.notify_all();
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &raw, 0);
            std::lock_guard lock(mutex_);
            status_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Let the pumps collect what the child wrote before it exited.
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(5),
                      [this] { return errClosed_ && (outClosed_ || stdoutFd_ < 0 || outPaused_); });
    return *status_;
}

bool ChildProcess::waitForStderr(const std::string& needle, double timeoutSeconds) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return err_.find(needle) != std::string::npos || errClosed_; }) &&
           err_.find(needle) != std::string::npos;
}

bool ChildProcess::waitUntilBlockedWriting(double timeoutSeconds) {
    // The kernel names where each thread sleeps; a full pipe's writer sleeps
    // in the pipe's write. (How full a pipe is cannot tell: the kernel leaves
    // the tail of a page empty when the next write does not fit there.)
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid_) + "/task";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code error;
        for (std::filesystem::directory_iterator it(tasks, error), end; !error && it != end; it.increment(error)) {
            std::ifstream wchan(it->path() / "wchan");
            std::string where;
            std::getline(wchan, where);
            if (where.find("pipe_write") != std::string::npos) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool ChildProcess::waitForStderrCount(const std::string& needle, std::size_t count, double timeoutSeconds) {
    auto enough = [&] {
        std::size_t found = 0;
        for (std::size_t at = err_.find(needle); at != std::string::npos && found < count;
             at = err_.find(needle, at + needle.size())) {
            ++found;
        }
        return found >= count;
    };
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return enough() || errClosed_; }) &&
           enough();
}

bool ChildProcess::waitForStdout(std::size_t bytes, double timeoutSeconds) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return out_.size() >= bytes || outClosed_; }) &&
           out_.size() >= bytes;
}

std::string ChildProcess::stderrText() {
    std::lock_guard lock(mutex_);
    return err_;
}

namespace {

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

std::vector<std::string> ChildProcess::stderrLines() { return splitLines(stderrText()); }

std::vector<std::string> ChildProcess::stdoutLines() {
    const std::vector<unsigned char> bytes = stdoutBytes();
    return splitLines(std::string(bytes.begin(), bytes.end()));
}

std::vector<unsigned char> ChildProcess::stdoutBytes() {
    std::lock_guard lock(mutex_);
    return out_;
}

std::string micProgram() { return TARNWICK_MIC_PROGRAM; }
std::string sysProgram() { return TARNWICK_SYS_PROGRAM; }
std::string audioSystemName() { return TARNWICK_TEST_AUDIO_SYSTEM; }

namespace {
// One private directory per test process, made with mkdtemp: paths built from
// the process id alone collide with files an earlier run left behind once
// process ids wrap, and a trace would then be appended to a stale one.
const std::string& privateTempDir() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarnwick-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        static const pid_t owner = ::getpid();
        static std::string removeAtExit;
        removeAtExit = pattern;
        std::atexit([] {
            if (::getpid() == owner) {
                std::error_code ignored;
                std::filesystem::remove_all(removeAtExit, ignored);
            }
        });
        return pattern;
    }();
    return dir;
}
}  // namespace

std::string tempPath(const std::string& suffix) {
    static std::atomic<int> counter{0};
    return privateTempDir() + "/" + std::to_string(counter++) + suffix;
}

std::string writeTempFile(const std::string& contents, const std::string& suffix) {
    std::string path = tempPath(suffix);
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace tarnwick::testing
