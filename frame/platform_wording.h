#pragma once
// The few log texts that name the platform or send the user to one of its
// settings. The engines are written once for every audio system, so they ask
// here instead of knowing which one is behind the boundary; whoever selects
// the audio system says which wording applies.

#include <string_view>

namespace tarnwick {

struct PlatformWording {
    // Ends the lines about a started device that delivers nothing.
    std::string_view notRunningIO;
    // Follows "tap delivers digital silence for … play audio — ".
    std::string_view tapSilenceHint;
    // Follows "input delivers digital silence for … s — ".
    std::string_view inputSilenceHint;
};

// CoreAudio's wording until useSoundServerWording() is called; the simulated
// system rehearses the home platform, so it keeps that wording too.
const PlatformWording& platformWording();

// For a sound server (PulseAudio or PipeWire): there is no recording
// permission to point at, and no CoreAudio.
void useSoundServerWording();

}  // namespace tarnwick
