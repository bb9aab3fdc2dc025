// An example parent application for the tarnwick capture programs.
//
// It uses nothing but the documented protocol (docs/parent-guide.md): it
// starts each capture program as a child with pipes on its standard streams,
// decodes the 24-byte header, counts the frames of PCM that follow, switches
// a system-audio child to "idle" and back once, restarts a child that ends
// asking for a restart (a device change), backs off on children that cannot
// start, stops a child whose start or audio stalls, and finally stops every
// child in order by closing its standard input. Restarts follow the guide's
// policy (section 7): one count for both kinds, forgiven by 10 s of capture
// after "capture started", at most 8 in a row.
//
// Given two programs (the microphone and system audio, say) it runs both at
// once and places each child's PCM on the host's monotonic clock by the
// child's "timeline: frame <n> captured at <t> ns" lines (guide, section
// 2.1), so that with --out the two WAV files it writes line up: both start
// at the moment this parent started, a restart's gap stays silent.
//
//   tarnwick-parent-example [--seconds S] [--out DIR] PROGRAM [ARGS...]
//                           [--and PROGRAM [ARGS...]]
//
// S is the amount of audio to collect over all children of a program
// (default 3); the first program to have it ends the recording. DIR gets
// mic.wav and/or sys.wav, by each stream's producer.
// Exit status 0: audio collected and the last children stopped in order;
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

// A 32-bit float WAV file written at frame positions on the parent's clock,
// so that the time no child covered stays silent (a file hole reads as
// zeros). The first child's header decides its rate and channels; a later
// child of another rate is converted to it by taking the nearest frame.
struct WavOut {
    static constexpr std::size_t kHead = 56;
    int fd = -1;
    std::int32_t rate = 0, channels = 0;
    std::int64_t frames = 0;
    std::string path;

    bool open(const std::string& file, std::int32_t r, std::int32_t ch) {
        fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        path = file;
        rate = r;
        channels = ch;
        return fd >= 0;
    }

    // `count` frames of `samples` at `r` Hz with `ch` channels, the first of
    // which was captured `startNs` after the origin; audio from before the
    // origin is dropped.
    void place(double startNs, const float* samples, std::int32_t r, std::int32_t ch, std::int64_t count) {
        if (fd < 0 || count <= 0) return;
        const auto at = std::int64_t(std::llround(startNs * rate / 1e9));
        const auto outCount = std::int64_t(std::llround(double(count) * rate / r));
        const std::int64_t skip = std::max<std::int64_t>(0, -at);
        if (outCount <= skip) return;
        std::vector<float> out(std::size_t(outCount - skip) * std::size_t(channels));
        for (std::int64_t i = skip; i < outCount; ++i) {
            const std::int64_t from = std::min(count - 1, i * r / rate);
            for (std::int32_t c = 0; c < channels; ++c) {
                out[std::size_t((i - skip) * channels + c)] = samples[from * ch + c % ch];
            }
        }
        const auto offset = off_t(kHead + std::size_t(at + skip) * std::size_t(channels) * 4);
        if (pwrite(fd, out.data(), out.size() * 4, offset) == ssize_t(out.size() * 4)) {
            frames = std::max(frames, at + outCount);
        }
    }

    void close() {
        if (fd < 0) return;
        const auto dataBytes = std::uint32_t(frames * channels * 4);
        unsigned char h[kHead] = {};
        auto text = [&](std::size_t at, const char* four) { std::memcpy(h + at, four, 4); };
        auto u32 = [&](std::size_t at, std::uint32_t v) {
            for (int i = 0; i < 4; ++i) h[at + i] = (unsigned char)(v >> (8 * i));
        };
        auto u16 = [&](std::size_t at, std::uint32_t v) {
            h[at] = (unsigned char)v;
            h[at + 1] = (unsigned char)(v >> 8);
        };
        text(0, "RIFF");
        u32(4, std::uint32_t(kHead - 8) + dataBytes);
        text(8, "WAVE");
        text(12, "fmt ");
        u32(16, 16);
        u16(20, 3);  // IEEE float
        u16(22, std::uint32_t(channels));
        u32(24, std::uint32_t(rate));
        u32(28, std::uint32_t(rate * channels * 4));
        u16(32, std::uint32_t(channels * 4));
        u16(34, 32);
        text(36, "fact");
        u32(40, 4);
        u32(44, std::uint32_t(frames));
        text(48, "data");
        u32(52, dataBytes);
        bool written = pwrite(fd, h, kHead, 0) == ssize_t(kHead) && ftruncate(fd, off_t(kHead + dataBytes)) == 0;
        ::close(fd);
        fd = -1;
        say((written ? "wrote " : "could not write ") + path + ": " + std::to_string(rate) + " Hz, " +
            std::to_string(channels) + " channel(s), " + fixed(double(frames) / rate, 2) + " s");
    }
};

// A point of a child's timeline: stream frame `n` was captured `t` ns after
// the origin.
struct Anchor {
    std::uint64_t n = 0;
    double t = 0;
};

// PCM waiting for a timeline line to place it by.
struct Chunk {
    std::uint64_t first = 0;
    std::vector<float> samples;
    Clock::time_point arrived;
    Anchor arrival;  // its last frame arrived just now: the fallback
};

// One run of the capture program.
struct Child {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;  // our ends of its standard streams
    unsigned char headerBytes[24] = {};
    std::size_t headerFill = 0;
    bool haveHeader = false;
    Header header{};
    std::uint64_t pcmBytes = 0;
    std::string partialFrame; // PCM bytes of a frame split across reads
    std::vector<Anchor> anchors;
    std::vector<Chunk> pending;
    bool byArrival = false;   // no timeline line came: placed by the arrival of the bytes
    // After "record" the stream has a new timeline, from this frame on: its
    // PCM waits for the line that starts it.
    std::uint64_t newTimelineFrom = 0;
    bool awaitingLine = false;
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

// The parent's clock, the one the children's timeline lines use:
// steady_clock is CLOCK_MONOTONIC on Linux and mach_absolute_time on macOS.
double nanosSince(Clock::time_point origin, Clock::time_point t) {
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(t - origin).count());
}
double monotonicNanos(Clock::time_point t) {
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

enum class Next { done, restartNow, retryLater, giveUp };
enum class State { running, waiting, done, gaveUp };

// One program under supervision: a child at a time, restarted by the policy.
struct Recorder {
    std::string prefix;  // "" with one program, else "1: " or "2: "
    std::vector<std::string> command;
    std::string shown;
    Child c;
    State state = State::waiting;
    Clock::time_point nextStart = Clock::now();
    int starts = 0, attempts = 0;
    double collected = 0;
    bool toggled = false;
    bool stopping = false, idle = false, stuck = false, termSent = false, badStream = false;
    Clock::time_point idleSince, stopSince;
    WavOut wav;

    void log(const std::string& line) const { say(prefix + line); }

    void sendLine(const char* command) {
        std::string line = std::string(command) + "\n";
        if (c.in >= 0 && write(c.in, line.data(), line.size()) == ssize_t(line.size())) {
            log(std::string("sent: ") + command);
            if (line == "record\n") {
                c.newTimelineFrom = c.frames();
                c.awaitingLine = true;
            }
        }
    }

    void stop(const std::string& why, bool asStuck = false) {
        if (stopping) return;
        log(why);
        closeFd(c.in);
        stopping = true;
        stuck = asStuck;
        stopSince = Clock::now();
    }

    // Places what can be placed: by the latest timeline line at or before a
    // chunk's first frame, else by the first line (it came late), else, once
    // the child has logged none for a second, by arrival.
    void flush(bool final = false) {
        if (c.pending.empty() || !c.haveHeader) return;
        if (c.anchors.empty() && !c.byArrival) {
            if (!final && secondsSince(c.pending.front().arrived) < 1.0) return;
            log("no timeline line: placing by arrival");
            c.byArrival = true;
            c.anchors.push_back(c.pending.front().arrival);
        }
        if (c.awaitingLine && c.anchors.back().n >= c.newTimelineFrom) c.awaitingLine = false;
        std::size_t count = c.pending.size();
        if (c.awaitingLine && !final) {
            // PCM from after the pause waits, a second at most, for the line
            // that starts its timeline; without one the earlier line places it.
            std::size_t before = 0;
            while (before < count && c.pending[before].first < c.newTimelineFrom) ++before;
            if (before < count && secondsSince(c.pending[before].arrived) < 1.0) {
                count = before;
            } else if (before < count) {
                c.awaitingLine = false;
            }
        }
        place(count);
    }

    // Places the first `count` pending chunks.
    void place(std::size_t count) {
        const double rate = c.header.sampleRate;
        for (std::size_t i = 0; i < count; ++i) {
            const Chunk& chunk = c.pending[i];
            const Anchor* anchor = &c.anchors.front();
            for (const Anchor& a : c.anchors) {
                if (a.n <= chunk.first) anchor = &a;
            }
            const double startNs = anchor->t + (double(chunk.first) - double(anchor->n)) * 1e9 / rate;
            wav.place(startNs, chunk.samples.data(), c.header.sampleRate, c.header.channels,
                      std::int64_t(chunk.samples.size()) / c.header.channels);
        }
        c.pending.erase(c.pending.begin(), c.pending.begin() + long(count));
    }
};

// Every stderr line is shown; some are remembered for the placing of the
// PCM and for the decision after the child has ended.
void takeStderr(Recorder& r, Clock::time_point origin, const char* bytes, std::size_t n) {
    Child& c = r.c;
    c.errPending.append(bytes, n);
    for (std::size_t end; (end = c.errPending.find('\n')) != std::string::npos;) {
        std::string line = c.errPending.substr(0, end);
        c.errPending.erase(0, end + 1);
        r.log("child: " + line);
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
        unsigned long long frame = 0, nanos = 0;
        char unit[3] = {};
        at = line.find("] timeline: frame ");
        if (at != std::string::npos &&
            std::sscanf(line.c_str() + at, "] timeline: frame %llu captured at %llu %2s", &frame, &nanos, unit) == 3 &&
            std::strcmp(unit, "ns") == 0) {
            c.anchors.push_back({frame, double(nanos) - monotonicNanos(origin)});
            r.flush();
        }
    }
}

// `taken`: the files the recorders write, so that two programs of one kind
// do not share one.
void takeStdout(Recorder& r, Clock::time_point origin, const std::string& outDir, std::vector<std::string>& taken,
                const unsigned char* bytes, std::size_t n) {
    Child& c = r.c;
    c.lastAudio = Clock::now();
    while (n > 0 && c.headerFill < 24) {
        c.headerBytes[c.headerFill++] = *bytes++;
        --n;
        if (c.headerFill == 24) {
            c.header = decodeHeader(c.headerBytes);
            c.haveHeader = c.header.bits == 32 && c.header.channels > 0 && c.header.sampleRate > 0 &&
                           (c.header.producer == 5 || c.header.producer == 11);
            r.log("header: " + std::to_string(c.header.sampleRate) + " Hz, " + std::to_string(c.header.channels) +
                  " channel(s), " + std::to_string(c.header.bits) + "-bit float, " +
                  std::to_string(c.header.framesPerBuffer) + " frames per buffer, producer " +
                  std::to_string(c.header.producer));
            if (c.haveHeader && !outDir.empty() && r.wav.fd < 0) {
                std::string file = outDir + (c.header.producer == 5 ? "/mic" : "/sys") + ".wav";
                if (std::find(taken.begin(), taken.end(), file) != taken.end()) file.insert(file.size() - 4, "-2");
                taken.push_back(file);
                if (!r.wav.open(file, c.header.sampleRate, c.header.channels)) r.log("cannot write " + file);
            }
        }
    }
    if (!c.haveHeader || n == 0) return;
    c.pcmBytes += n;
    // Whole frames only; a frame may be split across reads.
    c.partialFrame.append(reinterpret_cast<const char*>(bytes), n);
    const std::size_t frameBytes = std::size_t(c.header.channels) * 4;
    const std::size_t frames = c.partialFrame.size() / frameBytes;
    if (r.wav.fd < 0) {  // no file to place it in: counted only
        c.partialFrame.erase(0, frames * frameBytes);
        return;
    }
    if (frames == 0) return;
    Chunk chunk;
    chunk.first = (c.pcmBytes - c.partialFrame.size()) / frameBytes;
    chunk.samples.resize(frames * std::size_t(c.header.channels));
    std::memcpy(chunk.samples.data(), c.partialFrame.data(), frames * frameBytes);  // little-endian floats, as on the machines the programs run on
    c.partialFrame.erase(0, frames * frameBytes);
    chunk.arrived = Clock::now();
    chunk.arrival = {chunk.first + frames, nanosSince(origin, chunk.arrived)};
    c.pending.push_back(std::move(chunk));
    r.flush();
}

// After a stop request a child has a few seconds to end in order before it
// is made to.
void escalate(Recorder& r) {
    const double since = secondsSince(r.stopSince);
    if (!r.termSent && since > 5) {
        kill(r.c.pid, SIGTERM);
        r.termSent = true;
    } else if (since > 8) {
        kill(r.c.pid, SIGKILL);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Clock::time_point origin = Clock::now();
    double targetSeconds = 3;
    std::string outDir;
    int first = 1;
    while (first + 1 < argc && (std::strcmp(argv[first], "--seconds") == 0 || std::strcmp(argv[first], "--out") == 0)) {
        if (argv[first][2] == 's') {
            targetSeconds = std::atof(argv[first + 1]);
        } else {
            outDir = argv[first + 1];
        }
        first += 2;
    }
    std::vector<std::vector<std::string>> commands(1);
    for (int i = first; i < argc; ++i) {
        if (std::strcmp(argv[i], "--and") == 0) {
            commands.emplace_back();
        } else {
            commands.back().push_back(argv[i]);
        }
    }
    const bool usable = targetSeconds > 0 && commands.size() <= 2 &&
                        std::all_of(commands.begin(), commands.end(), [](const auto& c) { return !c.empty(); });
    if (!usable) {
        std::fprintf(stderr,
                     "usage: tarnwick-parent-example [--seconds S] [--out DIR] PROGRAM [ARGS...] "
                     "[--and PROGRAM [ARGS...]]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);  // a child that has gone makes writes fail, not kill us
    // Frame 0 of the WAV files; the host clock reading lets a reader check
    // the placing against the children's timeline lines.
    say("origin: " + fixed(monotonicNanos(origin), 0) + " ns");

    const double watchdogSeconds = 5;  // no audio this long while recording: the child is stuck
    const double startWatchdogSeconds = 15;  // longer than the longest start of either program
    const int maxAttempts = 8;         // restarts in a row without a healthy run
    std::vector<Recorder> recorders(commands.size());
    for (std::size_t k = 0; k < recorders.size(); ++k) {
        Recorder& r = recorders[k];
        r.prefix = recorders.size() > 1 ? std::to_string(k + 1) + ": " : "";
        r.command = commands[k];
        for (const auto& part : r.command) r.shown += (r.shown.empty() ? "" : " ") + part;
    }
    // The recording ends for every program at once: when one has collected
    // its audio, or when one has been given up on.
    bool finishing = false, gaveUp = false;
    std::vector<std::string> taken;

    auto active = [&] {
        return std::any_of(recorders.begin(), recorders.end(),
                           [](const Recorder& r) { return r.state == State::running || r.state == State::waiting; });
    };
    while (active()) {
        for (Recorder& r : recorders) {
            if (r.state != State::waiting || Clock::now() < r.nextStart) continue;
            if (finishing) {
                r.state = State::done;
                continue;
            }
            r.c = Child{};
            r.stopping = r.idle = r.stuck = r.termSent = r.badStream = false;
            ++r.starts;
            r.log("start " + std::to_string(r.starts) + ": " + r.shown);
            if (!spawnChild(r.c, r.command)) {
                r.log("giving up: cannot start " + r.command[0]);
                r.state = State::gaveUp;
                finishing = gaveUp = true;
                continue;
            }
            r.state = State::running;
        }

        std::vector<pollfd> fds;
        std::vector<std::pair<Recorder*, int>> owners;  // which recorder, 0 stdout or 1 stderr
        for (Recorder& r : recorders) {
            if (r.state != State::running) continue;
            if (r.c.out >= 0) fds.push_back({r.c.out, POLLIN, 0}), owners.emplace_back(&r, 0);
            if (r.c.err >= 0) fds.push_back({r.c.err, POLLIN, 0}), owners.emplace_back(&r, 1);
        }
        if (poll(fds.data(), fds.size(), 50) < 0) continue;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            Recorder& r = *owners[i].first;
            unsigned char buffer[65536];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                closeFd(owners[i].second == 0 ? r.c.out : r.c.err);
            } else if (owners[i].second == 0) {
                takeStdout(r, origin, outDir, taken, buffer, std::size_t(n));
            } else {
                takeStderr(r, origin, reinterpret_cast<const char*>(buffer), std::size_t(n));
            }
        }

        for (Recorder& r : recorders) {
            if (r.state != State::running) continue;
            Child& c = r.c;
            r.flush();
            if (c.out >= 0 || c.err >= 0) {
                if (r.stopping) {
                    escalate(r);
                    continue;
                }
                // Only the system-audio program (producer 11) obeys record/idle.
                if (!r.toggled && c.haveHeader && c.header.producer == 11 && c.audioSeconds() >= 0.5) {
                    r.sendLine("idle");
                    r.toggled = r.idle = true;
                    r.idleSince = Clock::now();
                } else if (r.idle && secondsSince(r.idleSince) >= 0.5) {
                    r.sendLine("record");
                    r.idle = false;
                    c.lastAudio = Clock::now();
                }
                if (c.headerFill == 24 && !c.haveHeader) {
                    r.stop("not a capture stream: stopping the child");
                    r.badStream = true;
                } else if (finishing) {
                    r.stop("stopping: closing standard input");
                } else if (r.collected + c.audioSeconds() >= targetSeconds) {
                    finishing = true;
                    r.stop("stopping: closing standard input");
                } else if (!c.captureStarted && secondsSince(c.spawned) > startWatchdogSeconds) {
                    r.stop("watchdog: no \"capture started\" in " + fixed(startWatchdogSeconds, 0) +
                               " s, stopping the child",
                           true);
                } else if (c.pcmBytes > 0 && !r.idle && secondsSince(c.lastAudio) > watchdogSeconds) {
                    r.stop("watchdog: no audio for " + fixed(watchdogSeconds, 0) + " s, stopping the child", true);
                }
                continue;
            }

            // The child has closed its output: it has ended.
            closeFd(c.in);
            int status = 0;
            while (waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
            }
            r.flush(true);
            r.collected += c.audioSeconds();
            r.log("child delivered " + std::to_string(c.frames()) + " frames (" + fixed(c.audioSeconds(), 2) + " s)");

            // What the way the child ended asks of us.
            const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            std::string ended = WIFEXITED(status) ? "status " + std::to_string(code)
                                                  : "signal " + std::to_string(WTERMSIG(status));
            if (!c.lastReason.empty()) ended += " (" + c.lastReason + ")";
            const std::string restartMark = "parent will restart capture";
            Next next;
            if (r.badStream) {
                next = Next::giveUp;
            } else if ((r.stopping && !r.stuck && code == 0) || finishing) {
                next = Next::done;
            } else if (c.lastReason.find(restartMark) != std::string::npos ||
                       c.startFailure.find(restartMark) != std::string::npos) {
                next = Next::restartNow;  // a device change or a format change: a fresh child follows it
            } else if (code == 3 || code == 0 || code == -1 || r.stuck || c.serverAbsent) {
                next = Next::retryLater;  // no IO yet, stopped by someone else, crashed, stuck or no server yet
            } else {
                next = Next::giveUp;  // 1: a start failure the log line explains; 2: our command line is wrong
            }
            if (next == Next::done) {
                r.log("child ended with " + ended + ": stopped as asked");
                r.state = State::done;
                continue;
            }
            if (next == Next::giveUp) {
                r.log("child ended with " + ended + ": giving up, tell the user: " +
                      (c.startFailure.empty() ? "the capture program failed" : c.startFailure));
                r.state = State::gaveUp;
                finishing = gaveUp = true;
                continue;
            }
            // A child that captured a while after its start was healthy: the
            // back-off starts over. One count serves retry-now and retry-later.
            if (c.captureStarted && secondsSince(c.started) >= 10) r.attempts = 0;
            if (++r.attempts > maxAttempts) {
                r.log("child ended with " + ended + ": giving up after " + std::to_string(maxAttempts) + " restarts");
                r.state = State::gaveUp;
                finishing = gaveUp = true;
                continue;
            }
            const double base = next == Next::restartNow ? 0.25 : 2.0, cap = next == Next::restartNow ? 5.0 : 30.0;
            const double delay = std::min(cap, base * std::pow(2.0, r.attempts - 1));
            r.log("child ended with " + ended + ": " + (next == Next::restartNow ? "restarting" : "retrying") +
                  " in " + fixed(delay, 2) + " s");
            r.state = State::waiting;
            r.nextStart = Clock::now() + std::chrono::microseconds(std::llround(delay * 1e6));
        }
    }
    std::string summary;
    for (Recorder& r : recorders) {
        r.wav.close();
        summary += (summary.empty() ? "" : "; ") + r.prefix + std::to_string(r.starts) + " start(s), " +
                   fixed(r.collected, 2) + " s of audio";
    }
    if (gaveUp) return 1;
    say("done: " + summary);
    return 0;
}
