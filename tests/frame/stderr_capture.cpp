#include "tests/frame/stderr_capture.h"

#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace tarnwick::testing {

StderrCapture::StderrCapture() {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    readFd_ = fds[0];
    savedFd_ = ::dup(STDERR_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[1]);
    reader_ = std::thread([this] {
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(readFd_, buffer, sizeof buffer);
            if (n > 0) {
                text_.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                return;
            }
        }
    });
}

StderrCapture::~StderrCapture() { finish(); }

std::string StderrCapture::finish() {
    if (!finished_) {
        finished_ = true;
        // Closing our copy of the write end lets the reader see end of file.
        ::dup2(savedFd_, STDERR_FILENO);
        ::close(savedFd_);
        reader_.join();
        ::close(readFd_);
    }
    return text_;
}

std::vector<std::string> StderrCapture::finishLines() { return splitLines(finish()); }

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string logLines(const std::string& program, const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += "[" + program + "] " + line + "\n";
    return text;
}

::testing::Matcher<const std::string&> stderrIs(const std::string& text) {
    return ::testing::Matcher<const std::string&>(text);
}

}  // namespace tarnwick::testing
