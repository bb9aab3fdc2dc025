// The standard-input command reader on any bytes, cut into reads anywhere.
// Input: a first byte k (mod 16), then k bytes giving the lengths of
// successive reads (1 to 256 bytes, reused in turn; none: reads of 256 bytes,
// as the reader's own buffer gives), then the bytes the parent writes. Checked here, beyond "no crash": the reader holds a bounded amount
// between reads; while no line exceeds the holding limit, every split yields
// exactly the lines of one whole read; every line is repaired, trimmed UTF-8;
// and its log line is one line of printable text.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "frame/log.h"
#include "frame/stdin_channel.h"

namespace {

constexpr std::size_t kHoldLimit = 4096;  // the reader's limit for an unterminated line

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

std::vector<std::string> linesOf(std::string_view bytes, const std::vector<std::size_t>& reads) {
    tarnwick::LineSplitter splitter;
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t i = 0; at < bytes.size(); ++i) {
        std::size_t n = reads.empty() ? bytes.size() : std::min(reads[i % reads.size()], bytes.size() - at);
        splitter.feed(bytes.data() + at, n, [&](const std::string& line) { lines.push_back(line); });
        at += n;
        if (splitter.pending() > kHoldLimit) broken("more than the limit held between reads");
    }
    return lines;
}

bool longestLineFits(std::string_view bytes) {
    std::size_t start = 0;
    for (;;) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) return true;  // an unterminated tail is never a line
        if (end - start > kHoldLimit) return false;
        start = end + 1;
    }
}

// The log line of an unknown command, read back through a pipe that lives as
// long as the process.
std::string logged(const std::string& message) {
    static int fds[2] = {-1, -1};
    if (fds[0] < 0 && ::pipe(fds) != 0) std::abort();
    tarnwick::logTo(fds[1], message);
    std::string text;
    char buffer[65536];
    while (text.empty() || text.back() != '\n') {  // an escaped line holds no other line feed
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) std::abort();
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

void checkPrintable(const std::string& line) {
    const std::string prefix = "[tarnwick-syscapture] ";
    if (line.compare(0, prefix.size(), prefix) != 0 || line.back() != '\n') broken("prefix or line feed missing");
    const std::string body = line.substr(prefix.size(), line.size() - prefix.size() - 1);
    if (tarnwick::repairUtf8(body) != body) broken("log line is not UTF-8");
    for (std::size_t i = 0; i < body.size(); ++i) {
        const auto b = static_cast<unsigned char>(body[i]);
        if (b < 0x20 || b == 0x7F) broken("control character in a log line");
        if (b == 0xC2 && i + 1 < body.size() && static_cast<unsigned char>(body[i + 1]) < 0xA0) broken("C1 control in a log line");
        if (b == 0xE2 && i + 2 < body.size() && body[i + 1] == '\x80' && (body[i + 2] == '\xA8' || body[i + 2] == '\xA9')) {
            broken("line or paragraph separator in a log line");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    tarnwick::setProgramName("tarnwick-syscapture");
    const std::size_t k = data[0] % 16;
    if (size < 1 + k) return 0;
    std::vector<std::size_t> reads;
    for (std::size_t i = 0; i < k; ++i) reads.push_back(static_cast<std::size_t>(data[1 + i]) + 1);
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1 + k), size - 1 - k);

    const std::vector<std::string> whole = linesOf(bytes, {});
    const std::vector<std::string> split = linesOf(bytes, reads.empty() ? std::vector<std::size_t>{256} : reads);
    if (longestLineFits(bytes) && split != whole) broken("split reads gave other lines than one whole read");

    for (const std::string& line : split) {
        if (tarnwick::repairUtf8(line) != line) broken("line is not repaired UTF-8");
        if (tarnwick::trimWhitespace(line) != line) broken("line is not trimmed");
        if (line.find('\n') != std::string::npos) broken("line feed inside a line");
        if (!line.empty()) checkPrintable(logged("unknown command on stdin: " + line));  // empty lines are ignored
    }
    return 0;
}
