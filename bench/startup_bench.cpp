// How long each capture program takes from being spawned to logging that
// capture has started, and from its stdin being closed to its exit, against
// the simulated audio system's built-in scenario. Each program runs N times;
// the medians are printed. Then the early-signal window: how long after the
// spawn returned a SIGTERM still kills a program (it is sent before main has
// taken the stop signals over) rather than stopping it in order; and what
// --version costs from spawn to exit, beside /bin/true. Nothing is asserted.
//
// Run: build-*/bench/startup_bench [runs]   (default 5; the signal window
// takes 20 times as many runs per delay)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double lineTimeoutSeconds = 20;

struct Run {
    double startSeconds = 0;
    double exitSeconds = 0;
    int status = 0;
};

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The child's environment: ours, with the simulator chosen and any scenario
// or trace override removed so that the built-in scenario is used.
std::vector<std::string> childEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (entry.starts_with("TARNWICK_AUDIO=") || entry.starts_with("TARNWICK_SIM_SCENARIO=") ||
            entry.starts_with("TARNWICK_SIM_TRACE=")) {
            continue;
        }
        env.push_back(entry);
    }
    env.emplace_back("TARNWICK_AUDIO=sim");
    return env;
}

// Reads stderr until `text` appears in a complete line (true) or the stream
// ends or the timeout passes (false). `pending` keeps what follows.
bool waitForLine(int fd, const std::string& text, std::string& pending, Clock::time_point start) {
    char chunk[4096];
    for (;;) {
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const bool found = pending.substr(0, end).find(text) != std::string::npos;
            pending.erase(0, end + 1);
            if (found) return true;
        }
        const double left = lineTimeoutSeconds - since(start);
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(left * 1000) + 1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending.append(chunk, std::size_t(n));
    }
}

void drain(int fd) {
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
    }
}

std::optional<Run> runOnce(const char* program, const std::vector<std::string>& env) {
    int in[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return std::nullopt;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return std::nullopt;
    }
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(program), nullptr};

    const auto start = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        // Between fork and exec only async-signal-safe calls.
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::execve(program, argv, envp.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(in[1]);
        ::close(err[0]);
        return std::nullopt;
    }

    std::string pending;
    Run run;
    const bool started = waitForLine(err[0], "capture started", pending, start);
    run.startSeconds = since(start);
    if (!started) ::kill(pid, SIGKILL);

    const auto closing = Clock::now();
    ::close(in[1]);
    drain(err[0]);
    ::close(err[0]);
    while (::waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
    }
    run.exitSeconds = since(closing);
    if (!started) return std::nullopt;
    return run;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void measure(const char* name, const char* program, int runs, const std::vector<std::string>& env) {
    std::vector<double> startTimes, exitTimes;
    int failures = 0, uncleanExits = 0;
    for (int i = 0; i < runs; ++i) {
        auto run = runOnce(program, env);
        if (!run) {
            ++failures;
            continue;
        }
        if (!WIFEXITED(run->status) || WEXITSTATUS(run->status) != 0) ++uncleanExits;
        startTimes.push_back(run->startSeconds);
        exitTimes.push_back(run->exitSeconds);
    }
    if (startTimes.empty()) {
        std::printf("%s: never logged \"capture started\" (%d runs)\n", name, runs);
        return;
    }
    std::printf("%s: start-up to first audio, median of %zu: %.3f s (min %.3f, max %.3f)\n", name, startTimes.size(),
                median(startTimes), *std::min_element(startTimes.begin(), startTimes.end()),
                *std::max_element(startTimes.begin(), startTimes.end()));
    std::printf("%s: stdin closed to exit, median of %zu: %.3f s\n", name, exitTimes.size(), median(exitTimes));
    if (failures > 0) std::printf("%s: %d run(s) never logged \"capture started\"\n", name, failures);
    if (uncleanExits > 0) std::printf("%s: %d run(s) did not exit with status 0\n", name, uncleanExits);
}

// Spawns `program` the way a parent does (posix_spawn returns once the new
// program is being loaded), stdin a pipe that stays open (kept in *stdinWrite
// when asked for), stdout and stderr to /dev/null.
pid_t spawnQuiet(const char* program, std::vector<const char*> args, const std::vector<std::string>& env,
                 int* stdinWrite) {
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    args.insert(args.begin(), program);
    args.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, program, &actions, nullptr, const_cast<char* const*>(args.data()), envp.data()) != 0) {
        pid = -1;
    }
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    if (stdinWrite != nullptr && pid > 0) {
        *stdinWrite = in[1];
    } else {
        ::close(in[1]);
    }
    return pid;
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// For each delay after the spawn, how many of `runs` SIGTERMs killed the
// program instead of being handled.
void measureSignalWindow(const char* name, const char* program, int runs, const std::vector<std::string>& env) {
    const double delaysMs[] = {0, 0.25, 0.5, 0.75, 1, 1.5, 2, 3, 5, 10, 20};
    std::printf("%s: SIGTERM after the spawn returned, killed before main took it over:", name);
    double lastKilling = -1;
    for (double delay : delaysMs) {
        int killed = 0, done = 0;
        for (int i = 0; i < runs; ++i) {
            int stdinWrite = -1;
            const pid_t pid = spawnQuiet(program, {}, env, &stdinWrite);
            if (pid < 0) continue;
            const auto spawned = Clock::now();
            while (since(spawned) * 1000 < delay) {
            }
            ::kill(pid, SIGTERM);
            const int status = reap(pid);
            ::close(stdinWrite);
            ++done;
            if (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) ++killed;
        }
        std::printf(" %.2f ms %d/%d;", delay, killed, done);
        if (killed > 0) lastKilling = delay;
    }
    if (lastKilling < 0) {
        std::printf(" none killed\n");
    } else {
        std::printf(" last kill at %.2f ms\n", lastKilling);
    }
}

// Median wall time from spawn to exit.
double medianRunSeconds(const char* program, std::vector<const char*> args, int runs,
                        const std::vector<std::string>& env) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        const pid_t pid = spawnQuiet(program, args, env, nullptr);
        if (pid < 0) continue;
        reap(pid);
        times.push_back(since(start));
    }
    return times.empty() ? 0 : median(times);
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    if (argc > 1) runs = std::max(1, std::atoi(argv[1]));
    std::signal(SIGPIPE, SIG_IGN);
    const auto env = childEnvironment();
    measure("tarnwick-miccapture", TARNWICK_MIC_PROGRAM, runs, env);
    measure("tarnwick-syscapture", TARNWICK_SYS_PROGRAM, runs, env);
    measureSignalWindow("tarnwick-miccapture", TARNWICK_MIC_PROGRAM, runs * 20, env);
    measureSignalWindow("tarnwick-syscapture", TARNWICK_SYS_PROGRAM, runs * 20, env);
    const int versionRuns = runs * 20;
    std::printf("spawn to exit, median of %d: tarnwick-miccapture --version %.2f ms, tarnwick-syscapture --version "
                "%.2f ms, /bin/true %.2f ms\n",
                versionRuns, 1000 * medianRunSeconds(TARNWICK_MIC_PROGRAM, {"--version"}, versionRuns, env),
                1000 * medianRunSeconds(TARNWICK_SYS_PROGRAM, {"--version"}, versionRuns, env),
                1000 * medianRunSeconds("/bin/true", {}, versionRuns, env));
    return 0;
}
