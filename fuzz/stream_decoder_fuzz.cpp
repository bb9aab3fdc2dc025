// The tools' stream decoder on any bytes, fed in pieces cut anywhere.
// Input: a first byte k (mod 16), then k bytes giving piece lengths (1 to 256,
// reused in turn; none: the whole input at once), then the stream. Checked
// here, beyond "no crash": however the stream is cut, the decoder returns the
// same frames, the same PCM and the same verdict as one whole read; it only
// ever hands out whole frames; and it holds less than one frame between
// pieces, whatever channel count the header announces.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "tools/stream_decoder.h"

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t cuts = data[0] % 16;
    if (size < 1 + cuts) return 0;
    std::vector<std::size_t> pieces;
    for (std::size_t i = 0; i < cuts; ++i) pieces.push_back(std::size_t{data[1 + i]} + 1);
    std::span<const std::uint8_t> stream(data + 1 + cuts, size - 1 - cuts);

    using namespace tarnwick::tools;
    const DecodedStream whole = decodeStream(stream);

    StreamDecoder decoder;
    std::vector<std::uint8_t> pcm;
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
        std::size_t n = pieces.empty() ? stream.size() : std::min(pieces[i % pieces.size()], stream.size() - at);
        auto out = decoder.feed(stream.subspan(at, n));
        at += n;
        if (decoder.header() && !decoder.rejected()) {
            const std::size_t frameBytes = decoder.header()->frameBytes();
            if (frameBytes == 0 || out.size() % frameBytes != 0) broken("a piece of PCM that is not whole frames");
            // What the decoder holds back is less than a frame.
            if (decoder.bytesSeen() - streamHeaderBytes - (pcm.size() + out.size()) >= frameBytes) {
                broken("a whole frame held back");
            }
        } else if (!out.empty()) {
            broken("PCM without an accepted header");
        }
        pcm.insert(pcm.end(), out.begin(), out.end());
    }
    decoder.finish();

    if (decoder.frames() != whole.frames) broken("frame count depends on how the stream is cut");
    if (pcm != whole.pcm) broken("PCM depends on how the stream is cut");
    if (decoder.problem() != whole.problem) broken("verdict depends on how the stream is cut");
    if (decoder.header().has_value() != whole.header.has_value()) broken("header depends on how the stream is cut");
    return 0;
}
