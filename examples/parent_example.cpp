// An example parent application for the tarnwick capture programs.
//
// It uses nothing but the documented protocol (docs/parent-guide.md): it
// starts a capture program as a child with pipes on its standard streams,
// decodes the 24-byte header, counts the frames of PCM that follow, switches
// a system-audio child to "idle" and back once, restarts a child that ends
// asking for a restart (a device change), backs off on children that cannot
// start, stops a child whose start or audio stalls, and finally stops the
// child in order by closing its standard input. Restarts follow the guide's
// policy (section 7): one count for both kinds, forgiven by 10 s of capture
// after "capture started", at most 8 in a row.
//
//   tarnwick-parent-example [--seconds S] PROGRAM [ARGS...]
//
// S is the amount of audio to collect over all children (default 3).
// Exit status 0: audio collected and the last child stopped in order;
// 1: gave up (the reason is printed); 2: usage error.
//
// Plain C++20 and POSIX only; copy it into your own application freely.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// The six little-endian words at the start of every capture stream.
struct Header {
    std::int32_t sampleRate, channels, bits, framesPerBuffer, producer, reserved;
};

Header decodeHeader(const unsigned char* b) {
    std::int32_t w[6];
    for (int i = 0; i < 6; ++i) {
        w[i] = static_cast<std::int32_t>(std::uint32_t(b[4 * i]) | std::uint32_t(b[4 * i + 1]) << 8 |
                                         std::uint32_t(b[4 * i + 2]) << 16 | std::uint32_t(b[4 * i + 3]) << 24);
    }
    return {w[0], w[1], w[2], w[3], w[4], w[5]};
}

// One run of the capture program.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;  // our ends of its standard streams
    unsigned char headerBytes[24] = {};
    std::size_t headerFill = 0;
    bool haveHeader = false;
    Header header{};
    std::uint64_t pcmBytes = 0;
    std::string errPending;   // stderr bytes after the last line feed
    std::string lastReason;   // from "shutting down (<reason>) — stopping capture"
    std::string startFailure; // the "capture start failed: ..." line
    bool serverAbsent = false;  // no sound server answered (Linux): it may come back
    bool captureStarted = false;
    Clock::time_point spawned = Clock::now(), started, lastAudio = Clock::now();

    std::uint64_t frames() const { return haveHeader ? pcmBytes / (std::uint64_t(header.channels) * 4) : 0; }
    double audioSeconds() const { return haveHeader ? double(frames()) / header.sampleRate : 0; }
};

bool spawnChild(Child& c, const std::vector<std::string>& command) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawnp(&c.pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    c.in = in[1];
    c.out = out[0];
    c.err = err[0];
    return rc == 0;
}

void sendLine(Child& c, const char* command) {
    std::string line = std::string(command) + "\n";
    if (c.in >= 0 && write(c.in, line.data(), line.size()) == ssize_t(line.size())) say(std::string("sent: ") + command);
}

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Every stderr line is shown; two kinds are remembered for the decision
// after the child has ended.
void takeStderr(Child& c, const char* bytes, std::size_t n) {
    c.errPending.append(bytes, n);
    for (std::size_t end; (end = c.errPending.find('\n')) != std::string::npos;) {
        std::string line = c.errPending.substr(0, end);
        c.errPending.erase(0, end + 1);
        say("child: " + line);
        const std::string shutting = "shutting down (", stopping = ") — stopping capture";
        auto at = line.find(shutting);
        if (at != std::string::npos && line.size() >= stopping.size() &&
            line.compare(line.size() - stopping.size(), stopping.size(), stopping) == 0) {
            at += shutting.size();
            c.lastReason = line.substr(at, line.size() - stopping.size() - at);
        }
        if (line.find("] capture start failed: ") != std::string::npos) c.startFailure = line;
        if (line.find("] capture started") != std::string::npos && !c.captureStarted) {
            c.captureStarted = true;
            c.started = Clock::now();
        }
        if (line.find("] cannot connect to the sound server: ") != std::string::npos ||
            line.find("] cannot read the sound server's devices: ") != std::string::npos) {
            c.serverAbsent = true;
        }
    }
}

void takeStdout(Child& c, const unsigned char* bytes, std::size_t n) {
    c.lastAudio = Clock::now();
    while (n > 0 && c.headerFill < 24) {
        c.headerBytes[c.headerFill++] = *bytes++;
        --n;
        if (c.headerFill == 24) {
            c.header = decodeHeader(c.headerBytes);
            c.haveHeader = c.header.bits == 32 && c.header.channels > 0 && c.header.sampleRate > 0 &&
                           (c.header.producer == 5 || c.header.producer == 11);
            say("header: " + std::to_string(c.header.sampleRate) + " Hz, " + std::to_string(c.header.channels) +
                " channel(s), " + std::to_string(c.header.bits) + "-bit float, " +
                std::to_string(c.header.framesPerBuffer) + " frames per buffer, producer " +
                std::to_string(c.header.producer));
        }
    }
    c.pcmBytes += n;
}

// After a stop request a child has a few seconds to end in order before it
// is made to.
void escalate(const Child& c, double secondsSinceStop, bool& termSent) {
    if (!termSent && secondsSinceStop > 5) {
        kill(c.pid, SIGTERM);
        termSent = true;
    } else if (secondsSinceStop > 8) {
        kill(c.pid, SIGKILL);
    }
}

enum class Next { done, restartNow, retryLater, giveUp };

}  // namespace

int main(int argc, char** argv) {
    double targetSeconds = 3;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--seconds") == 0) {
        targetSeconds = std::atof(argv[2]);
        first = 3;
    }
    if (first >= argc || targetSeconds <= 0) {
        std::fprintf(stderr, "usage: tarnwick-parent-example [--seconds S] PROGRAM [ARGS...]\n");
        return 2;
    }
    const std::vector<std::string> command(argv + first, argv + argc);
    std::string shown;
    for (const auto& part : command) shown += (shown.empty() ? "" : " ") + part;
    signal(SIGPIPE, SIG_IGN);  // a child that has gone makes writes fail, not kill us

    const double watchdogSeconds = 5;  // no audio this long while recording: the child is stuck
    const double startWatchdogSeconds = 15;  // longer than the longest start of either program
    const int maxAttempts = 8;         // restarts in a row without a healthy run
    double collected = 0;
    int starts = 0, attempts = 0;
    bool toggled = false;

    for (;;) {
        Child c;
        ++starts;
        say("start " + std::to_string(starts) + ": " + shown);
        if (!spawnChild(c, command)) {
            say("giving up: cannot start " + command[0]);
            return 1;
        }
        bool stopping = false, idle = false, stuck = false, termSent = false, badStream = false;
        Clock::time_point idleSince, stopSince;
        while (c.out >= 0 || c.err >= 0) {
            pollfd fds[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
            if (poll(fds, 2, 50) < 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                unsigned char buffer[65536];
                ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n <= 0) {
                    closeFd(i == 0 ? c.out : c.err);
                } else if (i == 0) {
                    takeStdout(c, buffer, std::size_t(n));
                } else {
                    takeStderr(c, reinterpret_cast<const char*>(buffer), std::size_t(n));
                }
            }
            if (stopping) {
                escalate(c, secondsSince(stopSince), termSent);
                continue;
            }
            // Only the system-audio program (producer 11) obeys record/idle.
            if (!toggled && c.haveHeader && c.header.producer == 11 && c.audioSeconds() >= 0.5) {
                sendLine(c, "idle");
                toggled = idle = true;
                idleSince = Clock::now();
            } else if (idle && secondsSince(idleSince) >= 0.5) {
                sendLine(c, "record");
                idle = false;
                c.lastAudio = Clock::now();
            }
            if (c.headerFill == 24 && !c.haveHeader) {
                say("not a capture stream: stopping the child");
                closeFd(c.in);
                stopping = badStream = true;
                stopSince = Clock::now();
            } else if (collected + c.audioSeconds() >= targetSeconds) {
                say("stopping: closing standard input");
                closeFd(c.in);
                stopping = true;
                stopSince = Clock::now();
            } else if (!c.captureStarted && secondsSince(c.spawned) > startWatchdogSeconds) {
                say("watchdog: no \"capture started\" in " + fixed(startWatchdogSeconds, 0) + " s, stopping the child");
                closeFd(c.in);
                stopping = stuck = true;
                stopSince = Clock::now();
            } else if (c.pcmBytes > 0 && !idle && secondsSince(c.lastAudio) > watchdogSeconds) {
                say("watchdog: no audio for " + fixed(watchdogSeconds, 0) + " s, stopping the child");
                closeFd(c.in);
                stopping = stuck = true;
                stopSince = Clock::now();
            }
        }
        closeFd(c.in);
        int status = 0;
        while (waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
        }
        collected += c.audioSeconds();
        say("child delivered " + std::to_string(c.frames()) + " frames (" + fixed(c.audioSeconds(), 2) + " s)");

        // What the way the child ended asks of us.
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::string ended = WIFEXITED(status) ? "status " + std::to_string(code)
                                              : "signal " + std::to_string(WTERMSIG(status));
        if (!c.lastReason.empty()) ended += " (" + c.lastReason + ")";
        const std::string restartMark = "parent will restart capture";
        Next next;
        if (badStream) {
            next = Next::giveUp;
        } else if (stopping && !stuck && code == 0) {
            next = Next::done;
        } else if (c.lastReason.find(restartMark) != std::string::npos ||
                   c.startFailure.find(restartMark) != std::string::npos) {
            next = Next::restartNow;  // a device change or a format change: a fresh child follows it
        } else if (code == 3 || code == 0 || code == -1 || stuck || c.serverAbsent) {
            next = Next::retryLater;  // no IO yet, stopped by someone else, crashed, stuck or no server yet
        } else {
            next = Next::giveUp;  // 1: a start failure the log line explains; 2: our command line is wrong
        }
        if (next == Next::done) {
            say("child ended with " + ended + ": stopped as asked");
            say("done: " + std::to_string(starts) + " start(s), " + fixed(collected, 2) + " s of audio");
            return 0;
        }
        if (next == Next::giveUp) {
            say("child ended with " + ended + ": giving up, tell the user: " +
                (c.startFailure.empty() ? "the capture program failed" : c.startFailure));
            return 1;
        }
        // A child that captured a while after its start was healthy: the
        // back-off starts over. One count serves retry-now and retry-later.
        if (c.captureStarted && secondsSince(c.started) >= 10) attempts = 0;
        if (++attempts > maxAttempts) {
            say("child ended with " + ended + ": giving up after " + std::to_string(maxAttempts) + " restarts");
            return 1;
        }
        const double base = next == Next::restartNow ? 0.25 : 2.0, cap = next == Next::restartNow ? 5.0 : 30.0;
        const double delay = std::min(cap, base * std::pow(2.0, attempts - 1));
        say("child ended with " + ended + ": " + (next == Next::restartNow ? "restarting" : "retrying") + " in " +
            fixed(delay, 2) + " s");
        usleep(static_cast<useconds_t>(delay * 1e6));
    }
}
