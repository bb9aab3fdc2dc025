#pragma once
// A started IO proc: its IO thread fills the input buffers from the signal
// the device (or the aggregate device's tap) delivers, zeroes the output
// buffers and runs the IO block synchronously as an item of the proc's queue.

#include <cstdint>
#include <optional>
#include <vector>

#include "backends/model/runs.h"
#include "backends/sim/model_names.h"
#include "backends/sim/device_state.h"
#include "backends/sim/io_thread.h"
#include "frame/audio/audio_system.h"

namespace tarnwick::sim {

struct ProcLayout {
    DeviceState* clock = nullptr;             // whose rate and frame count the cycles follow
    double rate = kFallbackIoRate;
    UInt32 frames = kFallbackIoFrames;
    std::vector<UInt32> inputBuffers;         // channels per input buffer
    SignalSpec signal;
    const DeviceState* signalSource = nullptr;  // follows this device's signal instead of `signal`
    std::optional<std::vector<UInt32>> outputBuffers;  // nullopt: no output list at all
};

class ProcRun final : public model::Run {
public:
    ProcRun(ProcLayout layout, kit::SerialQueue* queue, audio::DeviceIOBlock block);

    // The IO thread starts, paced from now.
    void deliver() override;
    void stop() override { io_.requestStop(); }
    // A cycle may be waiting for the proc's queue, on which the caller may be.
    bool joinWouldDeadlock() const override { return io_.onThisThread() || (queue_ && queue_->isCurrent()); }
    void join() override { io_.join(); }

private:
    void cycle(std::uint64_t first, UInt32 frames, std::int64_t hostNs) noexcept;

    const ProcLayout layout_;
    kit::SerialQueue* const queue_;
    const audio::DeviceIOBlock block_;
    BufferListStorage input_;
    BufferListStorage output_;
    IoThread io_;
};

}  // namespace tarnwick::sim
