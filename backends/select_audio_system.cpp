// Chooses the audio system behind the platform boundary from TARNWICK_AUDIO,
// the first time the program needs it, so that command-line errors never
// depend on it. Unset, it is the platform's own: CoreAudio on macOS,
// PulseAudio on Linux where that backend is built.

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "backends/call_layer/call_layer.h"
#include "backends/sim/run_files.h"
#include "backends/sim/sim_audio_system.h"
#if defined(__APPLE__) || defined(TARNWICK_COREAUDIO_OVER_SIM)
#include "backends/coreaudio/coreaudio_audio_system.h"
#endif
#if defined(TARNWICK_COREAUDIO_OVER_SIM)
#include "tests/coreaudio_over_sim/simulated_hal.h"
#endif
#if defined(TARNWICK_HAVE_PULSE)
#include "backends/pulse_module.h"
#endif
#include "frame/audio/audio_system.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "frame/platform_wording.h"

namespace tarnwick::audio {

namespace {
std::mutex selectionMutex;
std::shared_ptr<AudioSystem>* selected = new std::shared_ptr<AudioSystem>();  // lives until exit

// A stop that arrived meanwhile takes precedence (see failStart).
[[noreturn]] void fail(const std::string& message) { failStart(message, failedExitStatus); }

std::shared_ptr<AudioSystem> openBackend(const std::string& name) {
#if defined(__APPLE__) || defined(TARNWICK_COREAUDIO_OVER_SIM)
    if (name == "coreaudio") {
#if defined(TARNWICK_COREAUDIO_OVER_SIM)
        // Over the simulated system, the scenario is read here, as for "sim".
        try {
            coreaudio_over_sim::openSimulatedHal();
        } catch (const sim::ScenarioError& error) {
            fail(error.what());
        }
#endif
        return coreaudio::openCoreAudio();
    }
#endif
    if (name == "sim") {
        try {
            return sim::openFromEnvironment();
        } catch (const sim::ScenarioError& error) {
            fail(error.what());
        }
    }
#if defined(TARNWICK_HAVE_PULSE)
    if (name == "pulse" || name.empty()) {
        std::string error;
        auto system = openPulseModule(error);
        if (!system) fail(error);
        useSoundServerWording();
        return system;
    }
#endif
    if (name.empty()) {
        fail("no audio system is built for this platform yet — set TARNWICK_AUDIO=sim to use the simulated one");
    }
    if (name == "coreaudio" || name == "pulse") {
        fail("audio system \"" + name + "\" is not available in this build — set TARNWICK_AUDIO=sim to use the simulated one");
    }
    fail("unknown audio system \"" + name + "\" (expected coreaudio, pulse or sim)");
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The call layer over a real backend, when TARNWICK_TRACE or TARNWICK_FAULTS
// asks for it (empty counts as absent). Its files are read before the
// backend opens, so that a bad one is reported whatever the backend makes of
// the machine; with neither variable the backend runs bare.
struct LayerFiles {
    std::shared_ptr<call_layer::Trace> trace;
    std::shared_ptr<call_layer::FaultTable> faults;
};

std::optional<LayerFiles> layerFilesFromEnvironment() {
    std::string tracePath = environment("TARNWICK_TRACE");
    std::string faultsPath = environment("TARNWICK_FAULTS");
    if (tracePath.empty() && faultsPath.empty()) return std::nullopt;
    try {
        auto faults = std::make_shared<call_layer::FaultTable>(sim::readFaultFile(faultsPath));
        return LayerFiles{sim::openTrace(tracePath, "call trace"), std::move(faults)};
    } catch (const sim::ScenarioError& error) {
        fail(error.what());
    }
}

std::shared_ptr<AudioSystem> open() {
    std::string name = environment("TARNWICK_AUDIO");
#if defined(__APPLE__)
    if (name.empty()) name = "coreaudio";
#endif
    // The simulated system traces and injects faults itself, from these
    // variables as well as its own.
    if (name == "sim") return openBackend(name);
    std::optional<LayerFiles> layer = layerFilesFromEnvironment();
    std::shared_ptr<AudioSystem> backend = openBackend(name);
    if (!layer) return backend;
    return call_layer::wrap(std::move(backend), std::move(layer->trace), std::move(layer->faults));
}
}  // namespace

AudioSystem& audioSystem() {
    std::lock_guard lock(selectionMutex);
    if (!*selected) *selected = open();
    return **selected;
}

void setAudioSystemForTesting(std::shared_ptr<AudioSystem> system) {
    std::lock_guard lock(selectionMutex);
    *selected = std::move(system);
}

}  // namespace tarnwick::audio

#if defined(TARNWICK_HAVE_PULSE)
// The PulseAudio module carries the same hook, but ThreadSanitizer asks once,
// as the process starts, long before the module is loaded: the program has
// to give it.
#include "backends/libpulse_tsan_suppressions.h"
#endif
