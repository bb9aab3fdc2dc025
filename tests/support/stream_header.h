#pragma once
// What a parent decodes from a program's stdout: the 24-byte header, then
// little-endian 32-bit float samples.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace tarnwick::testing {

struct StreamHeader {
    std::int32_t sampleRate, channelCount, bitsPerSample, framesPerBuffer, producerCode, reserved;
};
// Decodes the first 24 bytes; nullopt when fewer arrived.
std::optional<StreamHeader> decodeHeader(const std::vector<unsigned char>& stream);
// The samples after the header (a trailing partial sample is dropped).
std::vector<float> decodeSamples(const std::vector<unsigned char>& stream);

inline constexpr std::int32_t micProducer = 5;
inline constexpr std::int32_t sysProducer = 11;

struct ExpectedHeader {
    std::int32_t sampleRate;
    std::int32_t channelCount;
    std::int32_t producerCode;
    // Unset where a real server picks the size: then any positive size.
    std::optional<std::int32_t> framesPerBuffer = std::nullopt;
};
// Success when the stream starts with the header `expected` describes (32-bit
// samples, reserved 0); else a failure that shows the header that came.
::testing::AssertionResult headerIs(const std::vector<unsigned char>& stream, const ExpectedHeader& expected);

}  // namespace tarnwick::testing
