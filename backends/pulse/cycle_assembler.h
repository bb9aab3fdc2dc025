#pragma once
// Cuts what a stream delivers, in whatever chunks the server posts (a few
// dozen frames each, at times), into IO cycles of one fixed frame count, as
// the platform's IO runs. A cycle that lies whole inside one chunk is handed
// over in place; only frames that straddle chunks are copied. Memory is
// allocated once, before the stream runs; feeding allocates nothing.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include "frame/audio/platform_types.h"

namespace tarnwick::pulse {

class CycleAssembler {
public:
    void allocate(UInt32 cycleFrames, std::size_t frameBytes) {
        cycleFrames_ = std::max<UInt32>(cycleFrames, 1);
        frameBytes_ = frameBytes;
        buffer_ = std::make_unique<unsigned char[]>(std::size_t{cycleFrames_} * frameBytes_);
        fill_ = 0;
    }

    UInt32 cycleFrames() const { return cycleFrames_; }

    // `data` null stands for `frames` frames of silence (a hole in the stream).
    // `deliver(const unsigned char* cycle, UInt32 frames)` runs once per whole cycle.
    template <typename Deliver>
    void feed(const unsigned char* data, std::size_t frames, Deliver&& deliver) {
        while (frames > 0) {
            if (fill_ == 0 && data && frames >= cycleFrames_) {
                deliver(data, cycleFrames_);
                data += std::size_t{cycleFrames_} * frameBytes_;
                frames -= cycleFrames_;
                continue;
            }
            const std::size_t take = std::min<std::size_t>(frames, cycleFrames_ - fill_);
            unsigned char* into = buffer_.get() + std::size_t{fill_} * frameBytes_;
            if (data) {
                std::memcpy(into, data, take * frameBytes_);
                data += take * frameBytes_;
            } else {
                std::memset(into, 0, take * frameBytes_);
            }
            fill_ += static_cast<UInt32>(take);
            frames -= take;
            if (fill_ == cycleFrames_) {
                fill_ = 0;
                deliver(buffer_.get(), cycleFrames_);
            }
        }
    }

private:
    std::unique_ptr<unsigned char[]> buffer_;
    UInt32 cycleFrames_ = 1;
    UInt32 fill_ = 0;
    std::size_t frameBytes_ = 1;
};

}  // namespace tarnwick::pulse
