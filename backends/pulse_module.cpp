#include "backends/pulse_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "backends/pulse/module_entry.h"

namespace tarnwick::audio {

std::string pulseModulePath() {
    // The program's own file, symlinks resolved, so that the module is found
    // from wherever the program was started, installed or in the build tree.
    std::vector<char> buffer(4096);
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || std::size_t(length) >= buffer.size()) return TARNWICK_PULSE_MODULE_INSTALLED;
    const std::filesystem::path program(std::string(buffer.data(), std::size_t(length)));
    return (program.parent_path() / TARNWICK_PULSE_MODULE_FROM_PROGRAMS).lexically_normal().string();
}

std::shared_ptr<AudioSystem> openPulseModule(std::string& error) {
    const std::string path = pulseModulePath();
    // Never closed: the system it opens lives until the process exits.
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* reason = ::dlerror();
        error = "cannot load the PulseAudio backend: " + std::string(reason ? reason : path);
        return nullptr;
    }
    auto open = reinterpret_cast<pulse::OpenModuleFunction>(::dlsym(module, pulse::openModuleSymbol));
    if (open == nullptr) {
        error = "cannot load the PulseAudio backend: " + path + " has no " + pulse::openModuleSymbol;
        return nullptr;
    }
    std::shared_ptr<AudioSystem> system;
    if (!open(&system, &error)) return nullptr;
    return system;
}

}  // namespace tarnwick::audio
