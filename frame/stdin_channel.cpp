#include "frame/stdin_channel.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>

#include "frame/lifecycle.h"
#include "frame/log.h"

namespace tarnwick {

namespace {

constexpr std::size_t readBufferSize = 256;
constexpr std::size_t maxUnterminatedBytes = 4096;
constexpr char replacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD

bool isContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the well-formed sequence that `lead` starts (0 for a byte that
// can never start one) and the allowed range of its second byte; the bytes
// after the second are always 80..BF.
struct LeadInfo {
    int length;
    unsigned char secondLow, secondHigh;
};

LeadInfo leadInfo(unsigned char lead) {
    if (lead < 0x80) return {1, 0, 0};
    if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};  // no UTF-16 surrogates
    if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
    if (lead == 0xF4) return {4, 0x80, 0x8F};  // nothing above U+10FFFF
    return {0, 0, 0};
}

bool isTrimmable(std::uint32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Decodes the code point of valid UTF-8 that starts at `p` (of `length` bytes).
std::uint32_t decodeAt(const unsigned char* p, std::size_t length) {
    if (length == 1) return p[0];
    std::uint32_t c = p[0] & (0xFFu >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (p[i] & 0x3Fu);
    return c;
}

std::size_t sequenceLength(unsigned char lead) {
    int n = leadInfo(lead).length;
    return n > 0 ? static_cast<std::size_t>(n) : 1;
}

// After end of input a losing caller of shutdown reads again at once; the
// pause keeps it from spinning a core while the winner tears down.
void pauseAfterLostShutdown() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }

}  // namespace

RecordGate& recordGate() {
    // Never destroyed: the IO path may still read it while the process exits.
    static RecordGate* gate = new RecordGate();
    return *gate;
}

std::string repairUtf8(std::string_view bytes) {
    // Each maximal subpart of an ill-formed sequence (the longest prefix of a
    // well-formed sequence that is present) becomes one U+FFFD; the byte that
    // broke the sequence is looked at again as a possible lead byte.
    std::string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        const LeadInfo info = leadInfo(p[i]);
        if (info.length == 1) {
            out += static_cast<char>(p[i++]);
            continue;
        }
        if (info.length == 0) {
            out += replacementCharacter;
            ++i;
            continue;
        }
        std::size_t taken = 1;
        bool complete = true;
        for (int k = 1; k < info.length; ++k) {
            if (i + taken >= size) {
                complete = false;
                break;
            }
            const unsigned char b = p[i + taken];
            const bool ok = k == 1 ? (b >= info.secondLow && b <= info.secondHigh) : isContinuation(b);
            if (!ok) {
                complete = false;
                break;
            }
            ++taken;
        }
        if (complete) {
            out.append(bytes.data() + i, taken);
        } else {
            out += replacementCharacter;
        }
        i += taken;
    }
    return out;
}

std::string trimWhitespace(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end) {
        const std::size_t n = std::min(sequenceLength(p[begin]), end - begin);
        if (!isTrimmable(decodeAt(p + begin, n))) break;
        begin += n;
    }
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && isContinuation(p[start])) --start;
        if (!isTrimmable(decodeAt(p + start, end - start))) break;
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

void LineSplitter::feed(const char* data, std::size_t length, kit::FunctionRef<void(const std::string&)> onLine) {
    // What was held already has no line feed: only the new bytes are searched,
    // and the lines taken are erased once, so a line costs its length however
    // the parent's writes cut it.
    std::size_t searchFrom = pending_.size();
    pending_.insert(pending_.end(), data, data + length);
    std::size_t lineStart = 0;
    for (;;) {
        const auto lineFeed = std::find(pending_.begin() + static_cast<long>(searchFrom), pending_.end(), '\n');
        if (lineFeed == pending_.end()) break;
        const std::size_t lineEnd = static_cast<std::size_t>(lineFeed - pending_.begin());
        const std::string line =
            trimWhitespace(repairUtf8(std::string_view(pending_.data() + lineStart, lineEnd - lineStart)));
        lineStart = searchFrom = lineEnd + 1;
        onLine(line);
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(lineStart));
    // An over-long line loses what it has so far; its remainder arrives later
    // as a line of its own.
    if (pending_.size() > maxUnterminatedBytes) pending_.clear();
}

void handleCommand(const std::string& line) {
    if (line.empty()) return;
    if (line == "record") {
        if (!recordGate().exchange(true)) log("recording (writing PCM to stdout)");
    } else if (line == "idle") {
        if (recordGate().exchange(false)) log("idle (tap stays installed and clocking; PCM not written)");
    } else {
        log("unknown command on stdin: " + line);
    }
}

void micStdinReader() {
    // The parent sends nothing meaningful here: reading only tells us when
    // it closes the pipe. Until a winning shutdown exits, keep asking.
    char buffer[readBufferSize] = {};
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n > 0) continue;
        if (n == 0) {
            shutdown("stdin EOF (parent stopped us)");
            pauseAfterLostShutdown();
            continue;
        }
        if (errno == EINTR) continue;
        shutdown("stdin read error");
        pauseAfterLostShutdown();
    }
}

void sysStdinReader() {
    char buffer[readBufferSize] = {};
    LineSplitter splitter;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            shutdown("stdin read error");
            return;
        }
        if (n == 0) {
            // An unterminated last line is dropped, never executed.
            shutdown("stdin EOF (parent stopped us)");
            return;
        }
        splitter.feed(buffer, static_cast<std::size_t>(n), [](const std::string& line) { handleCommand(line); });
    }
}

}  // namespace tarnwick
