#include "frame/platform_wording.h"

#include <atomic>

namespace tarnwick {

namespace {
constexpr PlatformWording coreAudioWording{
    "CoreAudio is not running IO",
    "System Audio Recording may not be allowed for the parent application",
    "the microphone may be muted, or not allowed for the parent application",
};
constexpr PlatformWording soundServerWording{
    "the sound server is not running IO",
    "the output may be muted",
    "the microphone may be muted",
};
// Set once on the thread that opens the audio system, read from the listener
// queue's timer and the starting thread.
std::atomic<const PlatformWording*> current{&coreAudioWording};
}  // namespace

const PlatformWording& platformWording() { return *current.load(std::memory_order_acquire); }

void useSoundServerWording() { current.store(&soundServerWording, std::memory_order_release); }

}  // namespace tarnwick
