#pragma once
// Reads back a WAV file the way a player does, independently of the writer.

#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick::testing {

struct WavFile {
    std::uint32_t riffSize = 0, fileSize = 0;
    std::uint16_t formatTag = 0, channels = 0, blockAlign = 0, bits = 0;
    std::uint32_t sampleRate = 0, byteRate = 0;
    std::uint32_t factFrames = 0;  // 0 when there is no fact chunk
    std::vector<unsigned char> data;
};

// Walks the chunks; a data chunk that claims more than the file holds fails the test.
WavFile readWav(const std::string& path);

// The output of a shell command (tests use it to ask sox).
std::string commandOutput(const std::string& command);

}  // namespace tarnwick::testing
