#include "frame/program_info.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "frame/lifecycle.h"

namespace tarnwick {

std::string_view projectVersion() { return TARNWICK_VERSION; }

void printAndExit(std::string_view text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n > 0) {
            p += n;
            left -= static_cast<std::size_t>(n);
        } else if (!(n < 0 && errno == EINTR)) {
            exitProcess(failedExitStatus);
        }
    }
    exitProcess(cleanExitStatus);
}

void printVersionAndExit(std::string_view program) {
    std::string line(program);
    line += ' ';
    line += projectVersion();
    line += '\n';
    printAndExit(line);
}

}  // namespace tarnwick
