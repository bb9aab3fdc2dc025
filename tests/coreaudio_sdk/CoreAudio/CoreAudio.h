// The umbrella header, as far as the backend uses it. Whether Apple's
// includes AudioHardwareTapping.h and CATapDescription.h is not settled, so
// this one does not: code that needs the tap API imports both itself.
#ifndef TARNWICK_SDK_COREAUDIO_H
#define TARNWICK_SDK_COREAUDIO_H

#include <CoreAudioTypes/CoreAudioTypes.h>
#include <CoreAudio/AudioHardware.h>

#endif
