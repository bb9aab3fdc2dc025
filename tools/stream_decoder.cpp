#include "tools/stream_decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tarnwick::tools {

namespace {

std::uint32_t littleEndianWord(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

std::string rangeProblem(const char* what, std::int32_t value, std::int32_t top, const char* unit = "") {
    return "absurd " + std::string(what) + " " + std::to_string(value) + unit + " (expected 1 to " +
           std::to_string(top) + ")";
}

}  // namespace

const char* producerName(std::int32_t code) {
    switch (code) {
        case micProducerCode: return "microphone";
        case sysProducerCode: return "system audio";
        default: return "unknown";
    }
}

StreamHeader parseHeader(std::span<const std::uint8_t, streamHeaderBytes> bytes) {
    std::int32_t words[6];
    for (int i = 0; i < 6; ++i) words[i] = static_cast<std::int32_t>(littleEndianWord(bytes.data() + 4 * i));
    return {words[0], words[1], words[2], words[3], words[4], words[5]};
}

std::string headerProblem(const StreamHeader& h) {
    if (h.sampleRate < 1 || h.sampleRate > maxSampleRate) return rangeProblem("sample rate", h.sampleRate, maxSampleRate, " Hz");
    if (h.channelCount < 1 || h.channelCount > maxChannels) return rangeProblem("channel count", h.channelCount, maxChannels);
    if (h.bitsPerSample != 32) return "bits per sample is " + std::to_string(h.bitsPerSample) + ", not 32";
    if (h.producerCode != micProducerCode && h.producerCode != sysProducerCode) {
        return "unknown producer " + std::to_string(h.producerCode) +
               " (5 is tarnwick-miccapture, 11 is tarnwick-syscapture)";
    }
    return {};
}

float sampleAt(std::span<const std::uint8_t> pcm, std::size_t index) {
    return std::bit_cast<float>(littleEndianWord(pcm.data() + 4 * index));
}

std::span<const std::uint8_t> StreamDecoder::feed(std::span<const std::uint8_t> bytes) {
    bytesSeen_ += bytes.size();
    if (rejected_) return {};
    if (!header_) {
        std::size_t take = std::min(bytes.size(), streamHeaderBytes - headerFill_);
        std::memcpy(headerBytes_ + headerFill_, bytes.data(), take);
        headerFill_ += take;
        bytes = bytes.subspan(take);
        if (headerFill_ < streamHeaderBytes) return {};
        header_ = parseHeader(std::span<const std::uint8_t, streamHeaderBytes>(headerBytes_));
        problem_ = headerProblem(*header_);
        if (!problem_.empty()) {
            rejected_ = true;
            return {};
        }
    }
    const std::size_t frameBytes = header_->frameBytes();
    out_.clear();
    out_.insert(out_.end(), carry_.begin(), carry_.end());
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    const std::size_t whole = out_.size() - out_.size() % frameBytes;
    carry_.assign(out_.begin() + static_cast<std::ptrdiff_t>(whole), out_.end());
    out_.resize(whole);
    frames_ += whole / frameBytes;
    return out_;
}

void StreamDecoder::finish() {
    if (!problem_.empty()) return;
    if (!header_) {
        problem_ = "short header: the stream ends after " + std::to_string(headerFill_) +
                   " bytes, a header has 24";
    } else if (!carry_.empty()) {
        problem_ = "trailing partial frame: " + std::to_string(carry_.size()) +
                   " bytes after the last complete frame (a frame has " + std::to_string(header_->frameBytes()) +
                   ")";
    }
}

DecodedStream decodeStream(std::span<const std::uint8_t> bytes) {
    StreamDecoder decoder;
    DecodedStream result;
    auto pcm = decoder.feed(bytes);
    result.pcm.assign(pcm.begin(), pcm.end());
    decoder.finish();
    result.header = decoder.header();
    result.frames = decoder.frames();
    result.problem = decoder.problem();
    return result;
}

}  // namespace tarnwick::tools
