#pragma once
// The arithmetic of the render path, apart from the engine so that it can be
// checked on its own.

#include <cstddef>

#include "frame/audio/platform_types.h"

namespace tarnwick::mic {

// Averages `channels` channels of `frames` frames from `list` into `mono`
// (an average, never a sum or a pick of one channel). Interleaved: buffer 0
// holds all channels. Planar: buffer i holds channel i; a buffer without data
// is skipped but still counts. Buffer 0 without data leaves `mono` as it was.
void averageChannels(const AudioBufferList& list, bool planar, UInt32 channels, UInt32 frames, float* mono);

// The buffers of a list allocated for more than one entry.
inline AudioBuffer* buffersOf(AudioBufferList* list) {
    return reinterpret_cast<AudioBuffer*>(reinterpret_cast<unsigned char*>(list) + offsetof(AudioBufferList, mBuffers));
}
inline const AudioBuffer* buffersOf(const AudioBufferList* list) {
    return reinterpret_cast<const AudioBuffer*>(reinterpret_cast<const unsigned char*>(list) +
                                                offsetof(AudioBufferList, mBuffers));
}

}  // namespace tarnwick::mic
