#include "frame/stream_writer.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tarnwick {

namespace {
std::atomic<std::int32_t> producerCode{0};
std::atomic<int> streamFd{STDOUT_FILENO};
// Released after the header's last byte is written, acquired by the PCM
// writer, so no PCM write can start before the header's writes completed.
std::atomic<bool> headerDone{false};

void putLE(unsigned char* out, std::int32_t value) {
    auto u = static_cast<std::uint32_t>(value);
    out[0] = static_cast<unsigned char>(u & 0xff);
    out[1] = static_cast<unsigned char>((u >> 8) & 0xff);
    out[2] = static_cast<unsigned char>((u >> 16) & 0xff);
    out[3] = static_cast<unsigned char>((u >> 24) & 0xff);
}
}  // namespace

bool writeAllTo(int fd, const void* data, std::size_t length) {
    if (data == nullptr || length < 1) return true;
    const auto* p = static_cast<const unsigned char*>(data);
    std::size_t left = length;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
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

bool writeAll(const void* data, std::size_t length) {
    return writeAllTo(streamFd.load(std::memory_order_relaxed), data, length);
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
}

}  // namespace tarnwick
