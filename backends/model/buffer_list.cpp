#include "backends/model/buffer_list.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace tarnwick::model {

void BufferListStorage::allocate(const std::vector<UInt32>& channelsPerBuffer, UInt32 frames) {
    std::size_t bytes = std::max(sizeof(AudioBufferList),
                                 offsetof(AudioBufferList, mBuffers) + channelsPerBuffer.size() * sizeof(AudioBuffer));
    listMemory_ = std::make_unique<std::uint64_t[]>((bytes + 7) / 8);
    channels_ = channelsPerBuffer;
    capacity_ = frames;
    blocks_.clear();
    for (UInt32 c : channelsPerBuffer) {
        std::size_t samples = std::max<std::size_t>(1, static_cast<std::size_t>(frames) * c);
        blocks_.push_back(std::make_unique<float[]>(samples));
    }
    reset(frames, true);
}

void BufferListStorage::reset(UInt32 frames, bool zero) noexcept {
    frames = std::min(frames, capacity_);
    AudioBufferList* l = list();
    l->mNumberBuffers = static_cast<UInt32>(channels_.size());
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        AudioBuffer& b = l->mBuffers[i];
        b.mNumberChannels = channels_[i];
        b.mDataByteSize = frames * channels_[i] * static_cast<UInt32>(sizeof(float));
        b.mData = blocks_[i].get();
        if (zero) std::memset(b.mData, 0, b.mDataByteSize);
    }
}

}  // namespace tarnwick::model
