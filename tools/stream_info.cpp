// tarnwick-streaminfo: decodes a capture stream (from a file or standard
// input) and prints what a person can check: the header, the duration, and
// per channel the level and the dominant frequency. The stream is read piece
// by piece, so a long capture takes no more memory than a short one.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "tools/stream_decoder.h"

namespace {

using namespace tarnwick::tools;

struct ChannelLevel {
    double sumSquares = 0, peak = 0;
    std::uint64_t upwardCrossings = 0;
    float previous = 0;
};

int problem(const char* name, const std::string& text) {
    std::fprintf(stderr, "tarnwick-streaminfo: %s: %s\n", name, text.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--help") {
        std::puts("usage: tarnwick-streaminfo [FILE]\n"
                  "Prints the header, the duration and per channel the level and the dominant frequency\n"
                  "of a tarnwick capture stream read from FILE or standard input. Exit status 1 names\n"
                  "what is wrong with a stream that is not a sound capture stream.");
        return 0;
    }
    if (argc > 1 && std::string_view(argv[1]) == "--version") {
        std::printf("tarnwick-streaminfo %s\n", TARNWICK_VERSION);
        return 0;
    }
    const char* name = argc > 1 ? argv[1] : "standard input";
    int fd = argc > 1 ? ::open(argv[1], O_RDONLY | O_CLOEXEC) : STDIN_FILENO;
    if (fd < 0) return problem(name, std::string("cannot open: ") + std::strerror(errno));

    StreamDecoder decoder;
    std::vector<ChannelLevel> levels;
    static std::uint8_t buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return problem(name, std::string("cannot read: ") + std::strerror(errno));
        if (n == 0) break;
        auto pcm = decoder.feed({buffer, static_cast<std::size_t>(n)});
        if (decoder.rejected()) break;
        if (pcm.empty()) continue;
        const auto channels = static_cast<std::size_t>(decoder.header()->channelCount);
        levels.resize(channels);
        for (std::size_t i = 0; i < pcm.size() / 4; ++i) {
            ChannelLevel& level = levels[i % channels];
            float x = sampleAt(pcm, i);
            level.sumSquares += double(x) * x;
            level.peak = std::max(level.peak, std::fabs(double(x)));
            if (level.previous < 0 && x >= 0) ++level.upwardCrossings;
            level.previous = x;
        }
    }
    decoder.finish();

    if (const auto& h = decoder.header()) {
        std::printf("header: %d Hz, %d channel(s), %d-bit float, %d frames per buffer, producer %d (%s), reserved %d\n",
                    h->sampleRate, h->channelCount, h->bitsPerSample, h->framesPerBuffer, h->producerCode,
                    producerName(h->producerCode), h->reserved);
    }
    if (decoder.rejected() || !decoder.header()) return problem(name, decoder.problem());

    const auto& h = *decoder.header();
    const double seconds = double(decoder.frames()) / h.sampleRate;
    std::printf("audio: %llu frames = %.3f s\n", static_cast<unsigned long long>(decoder.frames()), seconds);
    levels.resize(static_cast<std::size_t>(h.channelCount));
    for (std::size_t c = 0; c < levels.size(); ++c) {
        const ChannelLevel& level = levels[c];
        const double rms = decoder.frames() ? std::sqrt(level.sumSquares / double(decoder.frames())) : 0;
        std::printf("channel %zu: rms %.4f, peak %.4f, about %.1f Hz\n", c, rms, level.peak,
                    seconds > 0 ? double(level.upwardCrossings) / seconds : 0.0);
    }
    if (!decoder.problem().empty()) return problem(name, decoder.problem());
    return 0;
}
