#pragma once
// Hands one IO cycle to the caller's IO block: as an item of the serial queue
// the caller named (or on the IO thread itself, without one), the way the
// platform runs IO blocks. Allocates nothing and waits for nothing but that
// queue.

#include "frame/audio/audio_system.h"
#include "frame/kit/function_ref.h"

namespace tarnwick::model {

inline void runIOBlock(kit::SerialQueue* queue, kit::FunctionRef<bool()> running, const audio::DeviceIOBlock& block,
                       const AudioTimeStamp* now, const AudioBufferList* input, const AudioTimeStamp* inputTime,
                       AudioBufferList* output, const AudioTimeStamp* outputTime) {
    auto cycle = [&] {
        // Checked again once we hold the queue: a stop issued while we waited
        // for it must not be followed by a cycle.
        if (!running()) return;
        block(now, input, inputTime, output, outputTime);
    };
    if (queue) {
        queue->sync(cycle);
    } else {
        cycle();
    }
}

}  // namespace tarnwick::model
