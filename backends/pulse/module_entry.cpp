#include "backends/pulse/module_entry.h"

#include "backends/pulse/pulse_system.h"

// Everything else the module needs from the frame library (log, lifecycle,
// wording, kit) is the program's own copy, exported by the program, so the
// state stays single.
extern "C" bool tarnwick_pulse_open(std::shared_ptr<tarnwick::audio::AudioSystem>* system, std::string* error) {
    // The signature is checked here, where the definition is.
    [[maybe_unused]] constexpr tarnwick::pulse::OpenModuleFunction checked = &tarnwick_pulse_open;
    try {
        *system = tarnwick::pulse::openPulse();
        return true;
    } catch (const tarnwick::pulse::ConnectError& failure) {
        *error = failure.what();
        return false;
    }
}
