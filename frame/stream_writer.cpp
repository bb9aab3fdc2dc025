#include "frame/stream_writer.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

namespace tarnwick {

namespace {
std::atomic<std::int32_t> producerCode{0};
std::atomic<int> streamFd{STDOUT_FILENO};
// Released after the header's last byte is written, acquired by the PCM
// writer, so no PCM write can start before the header's writes completed.
std::atomic<bool> headerDone{false};

// The stream's one writer at a time (the header, then the PCM path) announces
// itself here, so that endStream can find and interrupt it. `streamEnded` and
// `writerInside` are sequentially consistent: a writer that enters after the
// stream ended sees it, or endStream sees the writer inside.
std::atomic<bool> streamEnded{false};
std::atomic<bool> writerInside{false};
std::atomic<pthread_t> writerThread{};

int interruptSignal() {
#ifdef SIGRTMIN
    return SIGRTMIN + 1;  // nobody sends it by accident
#else
    return SIGURG;        // ignored by default: harmless if sent from outside
#endif
}

void onWriteInterrupt(int) {}

void putLE(unsigned char* out, std::int32_t value) {
    auto u = static_cast<std::uint32_t>(value);
    out[0] = static_cast<unsigned char>(u & 0xff);
    out[1] = static_cast<unsigned char>((u >> 8) & 0xff);
    out[2] = static_cast<unsigned char>((u >> 16) & 0xff);
    out[3] = static_cast<unsigned char>((u >> 24) & 0xff);
}

// Writes all `length` bytes to `fd`, retrying an interrupted or partial
// write; false on an error, on a write of nothing, or when `ended()`, asked
// after every write, says the stream has ended meanwhile.
template <typename Ended>
bool writeEvery(int fd, const void* data, std::size_t length, Ended ended) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::size_t left = length;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (ended()) return false;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}
}  // namespace

bool writeAllTo(int fd, const void* data, std::size_t length) {
    if (data == nullptr || length < 1) return true;
    return writeEvery(fd, data, length, [] { return false; });
}

bool writeAll(const void* data, std::size_t length) {
    if (data == nullptr || length < 1) return true;
    writerThread.store(pthread_self(), std::memory_order_relaxed);
    writerInside.store(true);
    struct Leave {
        ~Leave() { writerInside.store(false); }
    } leave;
    if (streamEnded.load()) return false;
    // An interruption from endStream (EINTR, or a write cut short) ends the
    // stream here; any other EINTR is retried as usual.
    return writeEvery(streamFd.load(std::memory_order_relaxed), data, length, [] { return streamEnded.load(); });
}

void installWriteInterrupt() {
    struct sigaction action {};
    action.sa_handler = onWriteInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the blocked write must return
    ::sigaction(interruptSignal(), &action, nullptr);
}

void endStream(double graceSeconds) {
    using Clock = std::chrono::steady_clock;
    const auto graceEnd = Clock::now() + std::chrono::duration<double>(graceSeconds);
    // A parent that reads lets the write in progress finish.
    while (writerInside.load() && Clock::now() < graceEnd) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    streamEnded.store(true);
    // A signal that lands just before the writer enters write() is lost, so
    // keep knocking until it has left. The writer is a thread that outlives
    // this loop: the engine's IO thread is stopped only after it.
    while (writerInside.load()) {
        ::pthread_kill(writerThread.load(std::memory_order_relaxed), interruptSignal());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void setProducerCode(std::int32_t code) { producerCode.store(code); }

void layoutHeader(unsigned char out[24], std::int32_t sampleRate, std::int32_t channelCount,
                  std::int32_t bitsPerSample, std::int32_t framesPerBuffer, std::int32_t code) {
    putLE(out + 0, sampleRate);
    putLE(out + 4, channelCount);
    putLE(out + 8, bitsPerSample);
    putLE(out + 12, framesPerBuffer);
    putLE(out + 16, code);
    putLE(out + 20, 0);
}

bool writeHeader(std::int32_t sampleRate, std::int32_t channelCount, std::int32_t bitsPerSample,
                 std::int32_t framesPerBuffer) {
    unsigned char header[24];
    layoutHeader(header, sampleRate, channelCount, bitsPerSample, framesPerBuffer, producerCode.load());
    if (!writeAll(header, sizeof header)) return false;
    headerDone.store(true, std::memory_order_release);
    return true;
}

bool writePcm(const void* data, std::size_t length) {
    if (!headerDone.load(std::memory_order_acquire)) return true;
    return writeAll(data, length);
}

bool headerWritten() { return headerDone.load(std::memory_order_acquire); }

void resetStreamForTesting(int fd) {
    streamFd.store(fd);
    headerDone.store(false);
    streamEnded.store(false);
}

}  // namespace tarnwick
