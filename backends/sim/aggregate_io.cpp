#include "backends/sim/aggregate_io.h"

#include "backends/model/io_handover.h"
#include "backends/sim/signal.h"
#include "backends/sim/sim_clock.h"

namespace tarnwick::sim {

ProcRun::ProcRun(ProcLayout layout, kit::SerialQueue* queue, audio::DeviceIOBlock block)
    : layout_(std::move(layout)), queue_(queue), block_(std::move(block)) {
    input_.allocate(layout_.inputBuffers, layout_.frames);
    if (layout_.outputBuffers) output_.allocate(*layout_.outputBuffers, layout_.frames);
}

void ProcRun::deliver() {
    const std::int64_t nowNs = monoNs();
    IoPacing pacing;
    pacing.anchorNs = nowNs;
    pacing.anchorFrame = layout_.clock->frameAt(nowNs);
    pacing.rate = layout_.rate;
    pacing.frames = layout_.frames;
    pacing.stallUntilNs = &layout_.clock->stallUntilNs;
    io_.start(pacing, [this](std::uint64_t first, UInt32 frames, std::int64_t hostNs) { cycle(first, frames, hostNs); },
              "sim-device-io");
}

void ProcRun::cycle(std::uint64_t first, UInt32 frames, std::int64_t hostNs) noexcept {
    input_.reset(frames, false);
    const SignalSpec& signal = layout_.signalSource ? layout_.signalSource->signal() : layout_.signal;
    UInt32 channelBase = 0;
    for (std::size_t b = 0; b < input_.buffers(); ++b) {
        UInt32 channels = input_.channels(b);
        float* data = input_.data(b);
        for (UInt32 c = 0; c < channels; ++c) {
            renderSignal(signal, layout_.rate, first, frames, channelBase + c, data + c, channels);
        }
        channelBase += channels;
    }
    AudioBufferList* output = nullptr;
    if (layout_.outputBuffers) {
        output_.reset(frames, true);
        output = output_.list();
    }

    AudioTimeStamp now{};
    now.mSampleTime = static_cast<Float64>(first);
    now.mHostTime = static_cast<UInt64>(hostNs);
    now.mRateScalar = 1.0;
    now.mFlags = 0x1 | 0x2;  // sample time and host time valid
    AudioTimeStamp inputTime = now;
    AudioTimeStamp outputTime = now;
    const AudioBufferList* input = input_.list();

    model::runIOBlock(queue_, [this] { return io_.running(); }, block_, &now, input, &inputTime, output, &outputTime);
}

}  // namespace tarnwick::sim
