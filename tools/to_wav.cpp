// tarnwick-towav: converts a capture stream into a WAV file a person can
// play. Reading "-" follows a capture as it runs; the file is complete and
// playable after every piece that arrives.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tools/stream_decoder.h"
#include "tools/wav_writer.h"

namespace {

using namespace tarnwick::tools;

constexpr const char* usage = "usage: tarnwick-towav [--pcm16] IN OUT";
constexpr const char* help =
    "usage: tarnwick-towav [--pcm16] IN OUT\n"
    "Converts a tarnwick capture stream into a WAV file with the stream's rate and channels.\n"
    "  IN       the stream: a file, or - for standard input (follows a running capture)\n"
    "  OUT      the WAV file to write: 32-bit float samples, unchanged\n"
    "  --pcm16  write 16-bit PCM instead (clipped to -1..1)\n"
    "Exit status: 0 converted; 1 the stream is not a sound capture stream (the reason goes\n"
    "to standard error; complete frames before a bad ending are kept); 2 usage error.\n";

int fail(const std::string& message, int status) {
    std::fprintf(stderr, "tarnwick-towav: %s\n", message.c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    WavEncoding encoding = WavEncoding::float32;
    std::optional<std::string> in, out;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help") return std::fputs(help, stdout) < 0 ? 1 : 0;
        if (arg == "--version") return std::printf("tarnwick-towav %s\n", TARNWICK_VERSION) < 0 ? 1 : 0;
        if (arg == "--pcm16") {
            encoding = WavEncoding::pcm16;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return fail("unknown option " + std::string(arg) + "\n" + usage, 2);
        } else if (!in) {
            in = arg;
        } else if (!out) {
            out = arg;
        } else {
            return fail(usage, 2);
        }
    }
    if (!in || !out) return fail(usage, 2);

    const bool fromStdin = *in == "-";
    const std::string inName = fromStdin ? "standard input" : *in;
    int fd = fromStdin ? STDIN_FILENO : ::open(in->c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail("cannot open " + *in + ": " + std::strerror(errno), 1);

    StreamDecoder decoder;
    std::unique_ptr<WavWriter> wav;
    static std::uint8_t buffer[1 << 16];
    try {
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return fail("cannot read " + inName + ": " + std::strerror(errno), 1);
            if (n == 0) break;
            auto frames = decoder.feed({buffer, static_cast<std::size_t>(n)});
            if (decoder.rejected()) break;
            if (!wav && decoder.header()) {
                wav = std::make_unique<WavWriter>(*out, decoder.header()->sampleRate,
                                                  decoder.header()->channelCount, encoding);
            }
            if (wav && !wav->append(frames)) {
                return fail(*out + ": reached the 4 GiB a WAV file can hold; the rest of " + inName +
                                " is not converted",
                            1);
            }
        }
    } catch (const std::exception& e) {
        return fail(e.what(), 1);
    }
    decoder.finish();
    if (!decoder.problem().empty()) return fail(inName + ": " + decoder.problem(), 1);
    return 0;
}
