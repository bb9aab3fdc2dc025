#pragma once
// An AudioBufferList with its own sample memory, allocated once (outside the
// IO thread) and re-pointed before every cycle, since the code the list is
// handed to may change its fields.

#include <cstdint>
#include <memory>
#include <vector>

#include "frame/audio/platform_types.h"

namespace tarnwick::model {

class BufferListStorage {
public:
    // One buffer per entry (its channel count, interleaved within the
    // buffer), each with room for `frames` frames of 32-bit float.
    void allocate(const std::vector<UInt32>& channelsPerBuffer, UInt32 frames);

    AudioBufferList* list() noexcept { return reinterpret_cast<AudioBufferList*>(listMemory_.get()); }
    std::size_t buffers() const noexcept { return channels_.size(); }
    UInt32 channels(std::size_t buffer) const noexcept { return channels_[buffer]; }
    float* data(std::size_t buffer) noexcept { return blocks_[buffer].get(); }

    // Restores every buffer's fields for a cycle of `frames` frames; zeroes
    // the samples when `zero`. Real-time safe.
    void reset(UInt32 frames, bool zero) noexcept;

private:
    std::unique_ptr<std::uint64_t[]> listMemory_;  // 8-byte aligned, like the platform's lists
    std::vector<UInt32> channels_;
    std::vector<std::unique_ptr<float[]>> blocks_;
    UInt32 capacity_ = 0;
};

}  // namespace tarnwick::model
