#include "frame/log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace tarnwick {

namespace {
std::string& programName() {
    static std::string name = "tarnwick";
    return name;
}

constexpr char hexDigits[] = "0123456789abcdef";

void appendHexByte(std::string& out, unsigned char byte) {
    out += "\\x";
    out += hexDigits[byte >> 4];
    out += hexDigits[byte & 0x0F];
}

void appendCodePoint(std::string& out, std::uint32_t c) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += hexDigits[(c >> shift) & 0x0F];
}

// Length of the well-formed UTF-8 sequence at `p` (0 when the bytes there do
// not start one) and its code point.
std::size_t decodeUtf8(const unsigned char* p, std::size_t left, std::uint32_t& c) {
    const unsigned char lead = p[0];
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        c = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no UTF-16 surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        c = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (left < length || p[1] < low || p[1] > high) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (p[i] & 0x3Fu);
    }
    return length;
}

// Parents split standard error into lines and expect each to start with the
// program's prefix, and people read it on terminals: whatever a message
// carries (a command echoed from stdin, a device name, a file's text), the
// line stays one line of printable text. Control characters, the Unicode line
// and paragraph separators and bytes that are not UTF-8 are written as visible
// escapes; all other text, "—" and "→" included, passes unchanged.
void appendPrintable(std::string& out, std::string_view message) {
    const auto* p = reinterpret_cast<const unsigned char*>(message.data());
    const std::size_t size = message.size();
    std::size_t i = 0;
    while (i < size) {
        const unsigned char b = p[i];
        if (b >= 0x20 && b < 0x7F) {
            out += static_cast<char>(b);
            ++i;
        } else if (b == '\n') {
            out += "\\n";
            ++i;
        } else if (b == '\r') {
            out += "\\r";
            ++i;
        } else if (b == '\t') {
            out += "\\t";
            ++i;
        } else if (b < 0x80) {
            appendHexByte(out, b);  // the rest of C0, and DEL
            ++i;
        } else {
            std::uint32_t c = 0;
            const std::size_t length = decodeUtf8(p + i, size - i, c);
            if (length == 0) {
                appendHexByte(out, b);
                ++i;
            } else if ((c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029) {
                appendCodePoint(out, c);
                i += length;
            } else {
                out.append(message.data() + i, length);
                i += length;
            }
        }
    }
}
}  // namespace

void setProgramName(std::string_view name) { programName() = std::string(name); }

const std::string& currentProgramName() { return programName(); }

void logTo(int fd, std::string_view message) {
    std::string line;
    line.reserve(programName().size() + message.size() + 4);
    line += '[';
    line += programName();
    line += "] ";
    appendPrintable(line, message);
    line += '\n';
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n > 0) {
            p += n;
            left -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // lost: logging never changes the program's course
        }
    }
}

void log(std::string_view message) { logTo(STDERR_FILENO, message); }

}  // namespace tarnwick
