#pragma once
// Reads back a WAV file the way a player does, independently of the writer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace tarnwick::testing {

struct WavFile {
    std::uint32_t riffSize = 0, fileSize = 0;
    std::uint16_t formatTag = 0, channels = 0, blockAlign = 0, bits = 0;
    std::uint32_t sampleRate = 0, byteRate = 0;
    std::uint32_t factFrames = 0;  // 0 when there is no fact chunk
    std::vector<unsigned char> data;
};

namespace detail {
inline std::uint32_t le(const std::string& b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}
}  // namespace detail

// Walks the chunks; a chunk that claims more than the file holds fails the test.
inline WavFile readWav(const std::string& path) {
    const std::string b = readFile(path);
    WavFile w;
    w.fileSize = static_cast<std::uint32_t>(b.size());
    if (b.size() < 12 || b.compare(0, 4, "RIFF") || b.compare(8, 4, "WAVE")) {
        ADD_FAILURE() << path << " is not a RIFF WAVE file";
        return w;
    }
    w.riffSize = detail::le(b, 4, 4);
    for (std::size_t at = 12; at + 8 <= b.size();) {
        const std::string id = b.substr(at, 4);
        const std::uint32_t size = detail::le(b, at + 4, 4);
        const std::size_t body = at + 8;
        if (body + size > b.size()) {
            ADD_FAILURE() << "chunk " << id << " claims " << size << " bytes, the file has " << b.size() - body;
            return w;
        }
        if (id == "fmt ") {
            w.formatTag = static_cast<std::uint16_t>(detail::le(b, body, 2));
            w.channels = static_cast<std::uint16_t>(detail::le(b, body + 2, 2));
            w.sampleRate = detail::le(b, body + 4, 4);
            w.byteRate = detail::le(b, body + 8, 4);
            w.blockAlign = static_cast<std::uint16_t>(detail::le(b, body + 12, 2));
            w.bits = static_cast<std::uint16_t>(detail::le(b, body + 14, 2));
        } else if (id == "fact") {
            w.factFrames = detail::le(b, body, 4);
        } else if (id == "data") {
            w.data.assign(b.begin() + static_cast<long>(body), b.begin() + static_cast<long>(body + size));
        }
        at = body + size + (size & 1);
    }
    return w;
}

// The output of a shell command, standard error included (tests ask sox).
inline std::string commandOutput(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
        ::pclose(p);
    }
    return out;
}

// The data as 32-bit floats.
inline std::vector<float> samples(const WavFile& wav) {
    std::vector<float> out(wav.data.size() / 4);
    if (!out.empty()) std::memcpy(out.data(), wav.data.data(), out.size() * 4);
    return out;
}

// The longest run of all-zero frames between the first and the last frame
// that carries sound.
inline std::size_t longestInnerSilence(const std::vector<float>& s, std::size_t channels) {
    const std::size_t frames = s.size() / channels;
    auto sounding = [&](std::size_t f) {
        return std::any_of(s.begin() + long(f * channels), s.begin() + long((f + 1) * channels),
                           [](float v) { return v != 0.0f; });
    };
    std::size_t first = 0, last = frames;
    while (first < frames && !sounding(first)) ++first;
    while (last > first && !sounding(last - 1)) --last;
    std::size_t longest = 0, run = 0;
    for (std::size_t f = first; f < last; ++f) {
        run = sounding(f) ? 0 : run + 1;
        longest = std::max(longest, run);
    }
    return longest;
}

}  // namespace tarnwick::testing
