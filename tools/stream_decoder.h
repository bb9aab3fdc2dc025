#pragma once
// Reads a capture stream (24-byte header, then 32-bit float PCM) as it
// arrives, in pieces of any size, and says what is wrong with a stream that
// is not one. Memory stays bounded by the largest piece fed in plus one frame,
// whatever the header announces.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tarnwick::tools {

inline constexpr std::size_t streamHeaderBytes = 24;
inline constexpr std::int32_t micProducerCode = 5;
inline constexpr std::int32_t sysProducerCode = 11;
// Beyond these a header is taken for garbage rather than audio.
inline constexpr std::int32_t maxChannels = 1024;
inline constexpr std::int32_t maxSampleRate = 1'000'000;

struct StreamHeader {
    std::int32_t sampleRate = 0;
    std::int32_t channelCount = 0;
    std::int32_t bitsPerSample = 0;
    std::int32_t framesPerBuffer = 0;
    std::int32_t producerCode = 0;
    std::int32_t reserved = 0;

    std::size_t frameBytes() const { return static_cast<std::size_t>(channelCount) * 4; }
};

// "microphone", "system audio" or "unknown".
const char* producerName(std::int32_t code);

// The six little-endian words of a header.
StreamHeader parseHeader(std::span<const std::uint8_t, streamHeaderBytes> bytes);
// Why a header cannot start a capture stream; empty when it can.
std::string headerProblem(const StreamHeader& header);

// The sample at `index` of little-endian float bytes.
float sampleAt(std::span<const std::uint8_t> pcm, std::size_t index);

class StreamDecoder {
public:
    // Takes the next bytes of the stream and returns the PCM of the frames
    // they complete (whole frames only, little-endian float bytes), valid
    // until the next call. Once the header is rejected everything is ignored.
    std::span<const std::uint8_t> feed(std::span<const std::uint8_t> bytes);

    // The end of the stream: settles the verdict on what was fed.
    void finish();

    // The header, once 24 bytes have arrived (also when it was rejected).
    const std::optional<StreamHeader>& header() const { return header_; }
    // Empty while the stream is sound; after finish() also names a missing
    // header or a trailing partial frame.
    const std::string& problem() const { return problem_; }
    bool rejected() const { return rejected_; }
    std::uint64_t frames() const { return frames_; }
    std::uint64_t bytesSeen() const { return bytesSeen_; }

private:
    std::uint8_t headerBytes_[streamHeaderBytes] = {};
    std::size_t headerFill_ = 0;
    std::optional<StreamHeader> header_;
    bool rejected_ = false;
    std::string problem_;
    std::vector<std::uint8_t> carry_;  // the start of an incomplete frame
    std::vector<std::uint8_t> out_;
    std::uint64_t frames_ = 0;
    std::uint64_t bytesSeen_ = 0;
};

// A whole stream at once: its header, the PCM of its complete frames and
// the verdict (what the fuzzer and in-memory callers use).
struct DecodedStream {
    std::optional<StreamHeader> header;
    std::vector<std::uint8_t> pcm;
    std::uint64_t frames = 0;
    std::string problem;
};
DecodedStream decodeStream(std::span<const std::uint8_t> bytes);

}  // namespace tarnwick::tools
