#include "backends/sim/run_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

#include "backends/sim/fault_parser.h"
#include "backends/sim/sim_audio_system.h"

namespace tarnwick::sim {

std::string readTextFile(const std::string& path, const std::string& subject, const std::string& what) {
    auto failure = [&](int error) {
        return ScenarioError(subject + ": " + path + ": cannot read " + what + " (" + std::strerror(error) + ")");
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw failure(errno);
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            try {
                text.append(buffer, static_cast<std::size_t>(n));
            } catch (...) {
                ::close(fd);
                throw;
            }
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            // A directory gets here too, and says so ("Is a directory").
            int error = errno;
            ::close(fd);
            throw failure(error);
        }
    }
    ::close(fd);
    return text;
}

std::shared_ptr<Trace> openTrace(const std::string& path, const std::string& subject) {
    if (path.empty()) return std::make_shared<Trace>();
    try {
        return Trace::openFile(path);
    } catch (const std::system_error& error) {
        throw ScenarioError(subject + ": " + path + ": cannot open the trace file (" +
                            std::strerror(error.code().value()) + ")");
    }
}

std::vector<FaultSpec> readFaultFile(const std::string& path) {
    if (path.empty()) return {};
    constexpr const char* kSubject = "injected faults";
    try {
        return parseFaultList(readTextFile(path, kSubject, "the faults file"), path);
    } catch (const std::bad_alloc&) {
        throw ScenarioError(std::string(kSubject) + ": " + path + ": not enough memory to load the faults");
    }
}

}  // namespace tarnwick::sim
