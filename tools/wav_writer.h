#pragma once
// Writes a WAV file while the audio is still arriving. Every append leaves
// a complete, playable file behind: the RIFF, fact and data sizes are brought
// up to date after each one, so a capture that ends early (or a converter
// that is killed) never leaves sizes that disagree with the data.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tarnwick::tools {

enum class WavEncoding { float32, pcm16 };

class WavWriter {
public:
    // Creates (or truncates) `path` and writes the header of an empty file.
    // Throws std::runtime_error naming the file and the reason.
    WavWriter(const std::string& path, std::int32_t sampleRate, std::int32_t channels, WavEncoding encoding);
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Appends whole frames of little-endian 32-bit float samples. Returns
    // false when the file reached the 4 GiB that WAV sizes can count; the
    // frames that still fitted were written. Throws on a write error.
    bool append(std::span<const std::uint8_t> floatFrames);

    std::uint64_t frames() const { return dataBytes_ / blockAlign_; }

private:
    void writeAt(std::uint64_t offset, const void* data, std::size_t size);
    void updateSizes();

    std::string path_;
    int fd_ = -1;
    WavEncoding encoding_;
    std::uint32_t blockAlign_;
    std::uint32_t headerBytes_ = 0;
    std::uint32_t factOffset_ = 0;  // 0: no fact chunk
    std::uint32_t dataSizeOffset_ = 0;
    std::uint64_t dataBytes_ = 0;
    std::uint64_t maxDataBytes_ = 0;
    std::vector<std::uint8_t> scratch_;
};

}  // namespace tarnwick::tools
