#include "backends/sim/unit_io.h"

#include <algorithm>
#include <cmath>

#include "backends/sim/model_names.h"
#include "backends/sim/signal.h"
#include "backends/sim/sim_clock.h"

namespace tarnwick::sim {

namespace {

constexpr UInt32 kTimeStampValid = 0x1 | 0x2;  // sample time and host time

std::vector<UInt32> outputBuffers(const UnitConfig& config, const DeviceState& device) {
    AudioStreamBasicDescription f = config.renderFormat.value_or(defaultRenderFormat(device));
    UInt32 channels = std::max<UInt32>(1, f.mChannelsPerFrame);
    if (isPlanar(f)) return std::vector<UInt32>(channels, 1);
    return {channels};
}

}  // namespace

AudioStreamBasicDescription deviceInputFormat(const DeviceState& device) {
    const UnitSpec& unit = device.setup().unit;
    double rate = unit.inputFormatRate.value_or(device.nominalRate().value_or(0.0));
    UInt32 channels = unit.inputFormatChannels.value_or(device.setup().inputChannelTotal());
    return floatFormat(rate, channels, false);
}

AudioStreamBasicDescription deviceOutputFormat(const DeviceState& device) {
    return floatFormat(device.nominalRate().value_or(0.0), device.setup().outputChannels, false);
}

AudioStreamBasicDescription defaultRenderFormat(const DeviceState& device) {
    return floatFormat(device.nominalRate().value_or(0.0), std::max<UInt32>(1, device.setup().outputChannels), true);
}

UnitRun::UnitRun(AudioUnit handle, const UnitConfig& config, DeviceState& device)
    : RunningUnit(handle),
      config_(config),
      device_(device),
      clientFormat_(config.clientFormat.value_or(deviceInputFormat(device))),
      rate_(device.ioRate()),
      sliceFrames_(device.ioFrames()) {
    if (config_.outputEnabled && config_.renderCallback.inputProc) {
        output_.allocate(outputBuffers(config_, device_), sliceFrames_);
    }
}

void UnitRun::deliver() {
    const std::int64_t nowNs = monoNs();
    IoPacing pacing;
    pacing.anchorNs = nowNs;
    pacing.anchorFrame = device_.frameAt(nowNs);
    pacing.rate = rate_;
    pacing.frames = sliceFrames_;
    pacing.stallUntilNs = &device_.stallUntilNs;
    io_.start(pacing, [this](std::uint64_t first, UInt32 frames, std::int64_t hostNs) { cycle(first, frames, hostNs); },
              "sim-unit-io");
}

void UnitRun::cycle(std::uint64_t first, UInt32 frames, std::int64_t hostNs) noexcept {
    AudioTimeStamp stamp{};
    stamp.mSampleTime = static_cast<Float64>(first);
    stamp.mHostTime = static_cast<UInt64>(hostNs);
    stamp.mRateScalar = 1.0;
    stamp.mFlags = kTimeStampValid;
    InCallback inCallback(this);
    if (config_.inputEnabled && config_.inputCallback.inputProc && io_.running()) {
        AudioUnitRenderActionFlags flags = 0;
        AudioTimeStamp given = stamp;
        config_.inputCallback.inputProc(config_.inputCallback.inputProcRefCon, &flags, &given, 1, frames, nullptr);
    }
    if (config_.outputEnabled && config_.renderCallback.inputProc && io_.running()) {
        output_.reset(frames, true);
        AudioUnitRenderActionFlags flags = 0;
        AudioTimeStamp given = stamp;
        config_.renderCallback.inputProc(config_.renderCallback.inputProcRefCon, &flags, &given, 0, frames,
                                         output_.list());
    }
}

OSStatus UnitRun::render(const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames, AudioBufferList* ioData) noexcept {
    if (!timeStamp || !ioData) return audio::kInvalidParameterError;
    if (bus != 1 || !config_.inputEnabled) return kUnitErrInvalidElement;
    if (auto failure = device_.takeRenderError()) return *failure;

    const UInt32 channels = clientFormat_.mChannelsPerFrame;
    const bool planar = isPlanar(clientFormat_);
    const UInt32 perBuffer = planar ? 1 : channels;
    const UInt32 needed = planar ? channels : (channels > 0 ? 1 : 0);
    const std::uint64_t bytes = static_cast<std::uint64_t>(frames) * 4 * perBuffer;
    // Check every buffer before touching any, so a refused render writes nothing.
    if (ioData->mNumberBuffers < needed) return audio::kInvalidParameterError;
    for (UInt32 b = 0; b < needed; ++b) {
        const AudioBuffer& buffer = ioData->mBuffers[b];
        if (!buffer.mData || buffer.mDataByteSize < bytes) return audio::kInvalidParameterError;
    }
    const std::uint64_t first = timeStamp->mSampleTime > 0 ? static_cast<std::uint64_t>(timeStamp->mSampleTime) : 0;
    const SignalSpec& signal = device_.signal();
    for (UInt32 b = 0; b < needed; ++b) {
        AudioBuffer& buffer = ioData->mBuffers[b];
        auto* out = static_cast<float*>(buffer.mData);
        if (planar) {
            renderSignal(signal, rate_, first, frames, b, out, 1);
        } else {
            for (UInt32 c = 0; c < channels; ++c) renderSignal(signal, rate_, first, frames, c, out + c, channels);
        }
        buffer.mDataByteSize = static_cast<UInt32>(bytes);
    }
    return 0;
}

}  // namespace tarnwick::sim
