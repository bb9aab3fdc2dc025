#include "backends/pulse/device_io.h"

#include <algorithm>
#include <cmath>

#include "backends/model/io_handover.h"
#include "frame/host_clock.h"

namespace tarnwick::pulse {

TapStream::TapStream(Connection& connection, ServerDevices& devices, const ServerDevice& sink, UInt32 fragmentFrames,
                     kit::SerialQueue* queue, audio::DeviceIOBlock block)
    : ServerStream(connection),
      devices_(devices),
      sink_(sink),
      fragmentFrames_(fragmentFrames),
      queue_(queue),
      block_(std::move(block)) {}

void TapStream::lost() {
    // The monitor ends with its sink. The caller has no IO error to see, but
    // it listens for the default output: a sink that goes away is no longer
    // the default, which it learns at once rather than from a silent stream.
    if (connection_.alive()) devices_.vanished(sink_.id);
}

OSStatus TapStream::open() {
    if (sink_.monitorSource.empty()) return kBadDeviceError;
    spec_.format = PA_SAMPLE_FLOAT32LE;
    spec_.rate = static_cast<uint32_t>(sink_.rate);
    spec_.channels = kTapChannels;
    if (!pa_sample_spec_valid(&spec_)) return audio::kFormatNotSupported;
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    // Cycles of the buffer size the caller set, else of the fragment asked for.
    const UInt32 cycleFrames =
        fragmentFrames_ > 0 ? fragmentFrames_ : static_cast<UInt32>(std::lround(sink_.rate * kFragmentSeconds));
    pump_.allocate(cycleFrames, pa_frame_size(&spec_), sink_.rate);
    // The monitor is named from the sink's own information: the server's
    // alias for the default monitor does not mean the same on every server.
    OSStatus status = openRecord(sink_.monitorSource, spec_, map, fragmentFrames_,
                                 static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                                                PA_STREAM_AUTO_TIMING_UPDATE));
    if (status == 0) devices_.setFragmentFrames(sink_.id, pump_.cycleFrames());
    return status;
}

void TapStream::ready(pa_stream* stream) {
    // What arrives until the proc takes the stream waits in the ring.
    const std::size_t granted = grantedFragmentBytes(stream);
    if (granted > kLargestFragmentBytes) {
        pump_.allocate(pump_.cycleFrames(), pa_frame_size(&spec_), spec_.rate, kPumpRingSeconds, granted);
    }
}

void TapStream::deliver() {
    pump_.start([this](const unsigned char* data, UInt32 frames, std::uint64_t sampleTime,
                       std::uint64_t host) { deliver(data, frames, sampleTime, host); },
                nullptr, "tap-io", openerSignals_);
}

void TapStream::readable(pa_stream* stream) { drainInto(stream, pump_, pa_frame_size(&spec_)); }

void TapStream::deliver(const unsigned char* data, UInt32 frames, std::uint64_t sampleTime,
                        std::uint64_t host) noexcept {
    AudioBufferList input{};
    input.mNumberBuffers = 1;
    input.mBuffers[0].mNumberChannels = kTapChannels;
    input.mBuffers[0].mDataByteSize = frames * kTapChannels * static_cast<UInt32>(sizeof(float));
    input.mBuffers[0].mData = const_cast<unsigned char*>(data);  // the block only reads its input
    AudioTimeStamp now{};
    now.mSampleTime = static_cast<Float64>(sampleTime);
    now.mHostTime = host;
    now.mRateScalar = 1.0;
    now.mFlags = 0x1 | 0x2;  // sample time and host time valid
    model::runIOBlock(queue_, [this] { return running_.load(std::memory_order_acquire); }, block_, &now, &input, &now,
                      nullptr, &now);
}

AudioObjectID DeviceIO::mainDevice(const std::string& uid) {
    // Only a sink has a monitor to record.
    std::optional<ServerDevice> main = devices_.byUid(uid);
    return main && main->isSink ? main->id : 0;
}

OSStatus DeviceIO::refusesProcs(AudioObjectID device) const {
    return devices_.byId(device) ? audio::kIllegalOperationError : audio::kBadObjectError;
}

OSStatus DeviceIO::prepareProc(AudioObjectID, const model::Aggregate* aggregate, kit::SerialQueue* queue,
                               const audio::DeviceIOBlock& block, std::shared_ptr<model::Run>* run, std::string*) {
    std::optional<ServerDevice> sink = devices_.byId(aggregate->main);
    if (!sink) return kBadDeviceError;
    *run = std::make_shared<TapStream>(connection_, devices_, *sink, aggregate->bufferFrames, queue, block);
    return 0;
}

}  // namespace tarnwick::pulse
