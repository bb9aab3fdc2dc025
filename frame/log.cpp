#include "frame/log.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace tarnwick {

namespace {
std::string& programName() {
    static std::string name = "tarnwick";
    return name;
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
    line += message;
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
