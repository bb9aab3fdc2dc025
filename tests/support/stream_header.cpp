#include "tests/support/stream_header.h"

#include <cstring>

namespace tarnwick::testing {

std::optional<StreamHeader> decodeHeader(const std::vector<unsigned char>& stream) {
    if (stream.size() < 24) return std::nullopt;
    auto word = [&](size_t i) {
        std::uint32_t u = std::uint32_t(stream[i]) | (std::uint32_t(stream[i + 1]) << 8) |
                          (std::uint32_t(stream[i + 2]) << 16) | (std::uint32_t(stream[i + 3]) << 24);
        return static_cast<std::int32_t>(u);
    };
    return StreamHeader{word(0), word(4), word(8), word(12), word(16), word(20)};
}

std::vector<float> decodeSamples(const std::vector<unsigned char>& stream) {
    std::vector<float> samples;
    if (stream.size() < 24) return samples;
    size_t count = (stream.size() - 24) / 4;
    samples.resize(count);
    std::memcpy(samples.data(), stream.data() + 24, count * 4);
    return samples;
}

::testing::AssertionResult headerIs(const std::vector<unsigned char>& stream, const ExpectedHeader& expected) {
    const auto header = decodeHeader(stream);
    if (!header) return ::testing::AssertionFailure() << "only " << stream.size() << " bytes: no header";
    const bool framesMatch =
        expected.framesPerBuffer ? header->framesPerBuffer == *expected.framesPerBuffer : header->framesPerBuffer > 0;
    if (header->sampleRate == expected.sampleRate && header->channelCount == expected.channelCount &&
        header->bitsPerSample == 32 && framesMatch && header->producerCode == expected.producerCode &&
        header->reserved == 0) {
        return ::testing::AssertionSuccess();
    }
    auto failure = ::testing::AssertionFailure();
    failure << "header " << header->sampleRate << " Hz, " << header->channelCount << "ch, " << header->bitsPerSample
            << "-bit, frame=" << header->framesPerBuffer << ", producer " << header->producerCode << ", reserved "
            << header->reserved << "; expected " << expected.sampleRate << " Hz, " << expected.channelCount
            << "ch, 32-bit, frame=";
    if (expected.framesPerBuffer) failure << *expected.framesPerBuffer; else failure << "any";
    return failure << ", producer " << expected.producerCode << ", reserved 0";
}

}  // namespace tarnwick::testing
