// Stands in for backends/coreaudio/process_tap.mm, the only caller of the tap
// API: builds the description the way the Objective-C file builds its
// CATapDescription (a stereo mixdown of every process but the excluded ones,
// named, private as asked, with the caller's UUID) and hands it to the same
// AudioHardwareCreateProcessTap; destroys through the same
// AudioHardwareDestroyProcessTap.

#include "backends/coreaudio/process_tap.h"
#include "tests/coreaudio_over_sim/process_tap_api.h"

namespace tarnwick::coreaudio {

OSStatus createProcessTap(const audio::TapDescription& description, AudioObjectID* outTapID) {
    CATapDescription tap;
    tap.description.excludedProcesses = description.excludedProcesses;
    tap.description.stereoMixdown = true;
    tap.description.global = true;
    tap.description.name = description.name;
    tap.description.isPrivate = description.isPrivate;
    tap.description.uuid = description.uuid;
    return AudioHardwareCreateProcessTap(&tap, outTapID);
}

OSStatus destroyProcessTap(AudioObjectID tapID) { return AudioHardwareDestroyProcessTap(tapID); }

}  // namespace tarnwick::coreaudio
