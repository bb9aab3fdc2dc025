#include "tools/wav_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "tools/stream_decoder.h"

namespace tarnwick::tools {

namespace {

constexpr std::uint16_t formatPcm = 1;
constexpr std::uint16_t formatFloat = 3;
constexpr std::uint16_t formatExtensible = 0xFFFE;
// The 12 bytes shared by the KSDATAFORMAT_SUBTYPE GUIDs after their first
// 32-bit field, which is the format tag.
constexpr std::uint8_t subtypeTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}
void putTag(std::vector<std::uint8_t>& out, const char (&tag)[5]) { out.insert(out.end(), tag, tag + 4); }

std::int16_t toPcm16(float x) {
    if (!(x == x)) return 0;  // NaN
    float clamped = std::fmax(-1.0f, std::fmin(1.0f, x));
    return static_cast<std::int16_t>(std::lrint(clamped * 32767.0f));
}

}  // namespace

WavWriter::WavWriter(const std::string& path, std::int32_t sampleRate, std::int32_t channels, WavEncoding encoding)
    : path_(path), encoding_(encoding) {
    const std::uint16_t bits = encoding == WavEncoding::float32 ? 32 : 16;
    const auto channelCount = static_cast<std::uint16_t>(channels);
    blockAlign_ = channelCount * (bits / 8u);
    // PCM with more than two channels takes the extensible layout. Float stays
    // plain IEEE float (tag 3) at any channel count, as common readers
    // themselves write it and read it without complaint; it needs a fact chunk.
    const bool extensible = channels > 2 && encoding == WavEncoding::pcm16;
    const std::uint16_t tag = encoding == WavEncoding::float32 ? formatFloat : formatPcm;
    const bool fact = encoding == WavEncoding::float32;

    std::vector<std::uint8_t> h;
    putTag(h, "RIFF");
    put32(h, 0);
    putTag(h, "WAVE");
    putTag(h, "fmt ");
    put32(h, extensible ? 40 : (tag == formatPcm ? 16 : 18));
    put16(h, extensible ? formatExtensible : tag);
    put16(h, channelCount);
    put32(h, static_cast<std::uint32_t>(sampleRate));
    put32(h, static_cast<std::uint32_t>(sampleRate) * blockAlign_);
    put16(h, static_cast<std::uint16_t>(blockAlign_));
    put16(h, bits);
    if (extensible) {
        put16(h, 22);
        put16(h, bits);  // valid bits
        put32(h, 0);     // no speaker positions
        put16(h, tag);
        put16(h, 0);
        h.insert(h.end(), subtypeTail, subtypeTail + sizeof subtypeTail);
    } else if (tag != formatPcm) {
        put16(h, 0);
    }
    if (fact) {
        factOffset_ = static_cast<std::uint32_t>(h.size());
        putTag(h, "fact");
        put32(h, 4);
        put32(h, 0);
    }
    putTag(h, "data");
    dataSizeOffset_ = static_cast<std::uint32_t>(h.size());
    put32(h, 0);
    headerBytes_ = static_cast<std::uint32_t>(h.size());
    // The RIFF size (file size - 8) is a 32-bit count.
    maxDataBytes_ = (0xFFFFFFFFull - (headerBytes_ - 8)) / blockAlign_ * blockAlign_;

    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    writeAt(0, h.data(), h.size());
    updateSizes();
}

WavWriter::~WavWriter() {
    if (fd_ >= 0) ::close(fd_);
}

void WavWriter::writeAt(std::uint64_t offset, const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(fd_, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(n < 0 ? errno : EIO));
        p += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
}

void WavWriter::updateSizes() {
    auto writeWord = [this](std::uint64_t offset, std::uint64_t value) {
        const std::uint8_t b[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                   static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
        writeAt(offset, b, 4);
    };
    writeWord(4, headerBytes_ - 8 + dataBytes_);
    if (factOffset_) writeWord(factOffset_ + 8, frames());
    writeWord(dataSizeOffset_, dataBytes_);
}

bool WavWriter::append(std::span<const std::uint8_t> floatFrames) {
    const std::size_t samples = floatFrames.size() / 4;
    std::span<const std::uint8_t> bytes = floatFrames;
    if (encoding_ == WavEncoding::pcm16) {
        scratch_.resize(samples * 2);
        for (std::size_t i = 0; i < samples; ++i) {
            auto v = static_cast<std::uint16_t>(toPcm16(sampleAt(floatFrames, i)));
            scratch_[2 * i] = static_cast<std::uint8_t>(v);
            scratch_[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
        }
        bytes = scratch_;
    }
    const bool fits = dataBytes_ + bytes.size() <= maxDataBytes_;
    if (!fits) bytes = bytes.first(static_cast<std::size_t>(maxDataBytes_ - dataBytes_));
    if (bytes.empty()) return fits;
    writeAt(headerBytes_ + dataBytes_, bytes.data(), bytes.size());
    dataBytes_ += bytes.size();
    updateSizes();
    return fits;
}

}  // namespace tarnwick::tools
