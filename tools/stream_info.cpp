// tarnwick-streaminfo: decodes a capture stream (from a file or standard
// input) and prints what a person can check: the header, the duration, and
// per channel the level and the dominant frequency.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

namespace {

std::int32_t word(const std::vector<unsigned char>& s, size_t i) {
    std::uint32_t u = std::uint32_t(s[i]) | (std::uint32_t(s[i + 1]) << 8) | (std::uint32_t(s[i + 2]) << 16) |
                      (std::uint32_t(s[i + 3]) << 24);
    return static_cast<std::int32_t>(u);
}

const char* producerName(std::int32_t code) {
    switch (code) {
        case 5: return "microphone";
        case 11: return "system audio";
        default: return "unknown";
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<unsigned char> stream;
    if (argc > 1) {
        std::ifstream in(argv[1], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot open %s\n", argv[1]);
            return 1;
        }
        stream.assign(std::istreambuf_iterator<char>(in), {});
    } else {
        stream.assign(std::istreambuf_iterator<char>(std::cin), {});
    }
    if (stream.size() < 24) {
        std::printf("no header: the stream has %zu bytes\n", stream.size());
        return 1;
    }
    const std::int32_t rate = word(stream, 0), channels = word(stream, 4), bits = word(stream, 8),
                       frames = word(stream, 12), producer = word(stream, 16), reserved = word(stream, 20);
    std::printf("header: %d Hz, %d channel(s), %d-bit float, %d frames per buffer, producer %d (%s), reserved %d\n",
                rate, channels, bits, frames, producer, producerName(producer), reserved);
    if (channels < 1 || rate < 1) return 1;

    const size_t samples = (stream.size() - 24) / 4;
    const size_t frameCount = samples / static_cast<size_t>(channels);
    std::vector<float> pcm(samples);
    std::memcpy(pcm.data(), stream.data() + 24, samples * 4);
    std::printf("audio: %zu frames = %.3f s\n", frameCount, double(frameCount) / rate);

    for (std::int32_t c = 0; c < channels; ++c) {
        double sumSquares = 0, peak = 0;
        size_t upwardCrossings = 0;
        float previous = 0;
        for (size_t f = 0; f < frameCount; ++f) {
            float x = pcm[f * channels + c];
            sumSquares += double(x) * x;
            peak = std::max(peak, std::fabs(double(x)));
            if (f > 0 && previous < 0 && x >= 0) ++upwardCrossings;
            previous = x;
        }
        double rms = frameCount ? std::sqrt(sumSquares / frameCount) : 0;
        double seconds = double(frameCount) / rate;
        std::printf("channel %d: rms %.4f, peak %.4f, about %.1f Hz\n", c, rms, peak,
                    seconds > 0 ? upwardCrossings / seconds : 0.0);
    }
    return 0;
}
