#include "backends/call_layer/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <system_error>

#include <nlohmann/json.hpp>

namespace tarnwick::call_layer {

Trace::~Trace() {
    if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<Trace> Trace::openFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), path);
    auto trace = std::make_unique<Trace>();
    trace->fd_ = fd;
    return trace;
}

void Trace::call(std::string_view name, std::string_view args, OSStatus status, std::string_view result) const {
    if (!enabled()) return;
    std::string text(name);
    if (!args.empty()) {
        text += ' ';
        text += traceSafe(args);
    }
    text += " -> ";
    text += std::to_string(status);
    if (!result.empty()) {
        text += ' ';
        text += traceSafe(result);
    }
    line(text);
}

void Trace::line(std::string_view text) const {
    if (!enabled()) return;
    std::string whole(text);
    whole += '\n';
    append(whole.data(), whole.size());
}

void Trace::linef(const char* format, ...) const noexcept {
    if (!enabled()) return;
    char buffer[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer - 1, format, args);
    va_end(args);
    if (n < 0) return;
    std::size_t size = std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 2);
    buffer[size] = '\n';
    append(buffer, size + 1);
}

void Trace::append(const char* data, std::size_t size) const noexcept {
    // One write() for the whole line: with O_APPEND the kernel places it
    // atomically at the end. Only an interrupted or short write loops.
    while (size > 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

std::string traceSafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\n' || c == '\r') {
            out += ' ';
        } else if (c == ' ' && text.substr(i, 4) == " -> ") {
            out += " -\\u003e ";
            i += 3;
        } else {
            out += c;
        }
    }
    return out;
}

std::string fourCCText(UInt32 code) {
    char chars[4] = {static_cast<char>(code >> 24), static_cast<char>(code >> 16), static_cast<char>(code >> 8),
                     static_cast<char>(code)};
    for (char c : chars) {
        if (c < 0x20 || c > 0x7e) return std::to_string(code);
    }
    // Appended rather than `"'" + std::string(...)`, which GCC 12 at -O3
    // mistakes for an overlapping copy.
    std::string text(1, '\'');
    text.append(chars, 4);
    text += '\'';
    return text;
}

std::string quotedText(std::string_view text) {
    return nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tarnwick::call_layer
