// Audio unit instances over server streams: creation, settings, start and
// stop, and the render that hands a recorded slice to the caller.

#include "backends/pulse/units.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "backends/model/status_codes.h"

namespace tarnwick::pulse {

using namespace model;

namespace {

AudioStreamBasicDescription defaultRenderFormat(const ServerDevice& device) {
    return floatFormat(device.rate, std::max<UInt32>(1, device.channels), true);
}

pa_channel_map mapFor(const ServerDevice& device, UInt32 channels) {
    if (channels == device.channels && pa_channel_map_valid(&device.channelMap)) return device.channelMap;
    pa_channel_map map;
    pa_channel_map_init_extend(&map, channels, PA_CHANNEL_MAP_DEFAULT);
    return map;
}

AudioTimeStamp stampAt(std::uint64_t sampleTime, std::uint64_t host = 0) {
    AudioTimeStamp stamp{};
    stamp.mSampleTime = static_cast<Float64>(sampleTime);
    stamp.mHostTime = host;
    stamp.mRateScalar = 1.0;
    stamp.mFlags = host ? 0x1 | 0x2 : 0x1;  // sample time (and host time) valid
    return stamp;
}

}  // namespace

UnitStream::UnitStream(Connection& connection, ServerDevices& devices, AudioUnit handle, const UnitConfig& config,
                       const ServerDevice& device)
    : ServerStream(connection),
      RunningUnit(handle),
      devices_(devices),
      config_(config),
      device_(device),
      recording_(config.inputEnabled && !device.isSink) {
    spec_.format = PA_SAMPLE_FLOAT32LE;
    if (recording_) {
        // The device's own rate and channels: the program does its own
        // downmix and resampling, the server neither.
        spec_.rate = static_cast<uint32_t>(device.rate);
        spec_.channels = static_cast<uint8_t>(device.channels);
        clientFormat_ = config.clientFormat.value_or(floatFormat(device.rate, device.channels, false));
        const auto slice = static_cast<UInt32>(std::lround(device.rate * kFragmentSeconds));
        pump_.allocate(std::min(slice, config.maxFramesPerSlice), std::size_t{4} * device.channels, device.rate);
    } else {
        AudioStreamBasicDescription render = config.renderFormat.value_or(defaultRenderFormat(device));
        spec_.rate = static_cast<uint32_t>(render.mSampleRate > 0 ? render.mSampleRate : device.rate);
        spec_.channels = static_cast<uint8_t>(render.mChannelsPerFrame);
        const UInt32 channels = render.mChannelsPerFrame;
        renderBuffers_.allocate(isPlanar(render) ? std::vector<UInt32>(channels, 1) : std::vector<UInt32>{channels},
                                config.maxFramesPerSlice);
    }
}

OSStatus UnitStream::open() {
    if (!pa_sample_spec_valid(&spec_)) return audio::kFormatNotSupported;
    const pa_channel_map map = mapFor(device_, spec_.channels);
    if (recording_) {
        // Channels go by index, so nothing is remixed and asking for no
        // remixing on top adds nothing, except that the server then sends
        // each fragment in two deliveries: twice the wake-ups.
        OSStatus status =
            openRecord(device_.name, spec_, map, 0,
                       static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                                      PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_NO_REMAP_CHANNELS));
        if (status == 0) devices_.setFragmentFrames(device_.id, cycleFrames());
        return status;
    }
    // Silence or not, what the callback renders needs no low latency: a
    // longer buffer wakes the callback less often.
    return openPlayback(device_.name, spec_, map, 0.1);
}

void UnitStream::callInput(const unsigned char* slice, UInt32 frames, std::uint64_t sampleTime,
                           std::uint64_t host) noexcept {
    if (!config_.inputCallback.inputProc) return;
    AudioTimeStamp stamp = stampAt(sampleTime, host);
    AudioUnitRenderActionFlags flags = 0;
    slice_ = slice;
    lastSampleTime_ = sampleTime;
    {
        InCallback inCallback(this);
        config_.inputCallback.inputProc(config_.inputCallback.inputProcRefCon, &flags, &stamp, 1, frames, nullptr);
    }
    slice_ = nullptr;
}

void UnitStream::ready(pa_stream* stream) {
    if (!recording_) return;
    // What arrives until the unit takes the stream waits in the ring.
    const std::size_t granted = grantedFragmentBytes(stream);
    if (granted > kLargestFragmentBytes) {
        pump_.allocate(pump_.cycleFrames(), pa_frame_size(&spec_), spec_.rate, kPumpRingSeconds, granted);
    }
}

void UnitStream::deliver() {
    taken_.store(true, std::memory_order_release);
    if (!recording_) return;
    pump_.start([this](const unsigned char* slice, UInt32 frames, std::uint64_t sampleTime,
                       std::uint64_t host) { callInput(slice, frames, sampleTime, host); },
                // A device gone: the next render says so.
                [this] { callInput(nullptr, pump_.cycleFrames(), lastSampleTime_, 0); }, "input-io", openerSignals_);
}

void UnitStream::readable(pa_stream* stream) { drainInto(stream, pump_, pa_frame_size(&spec_)); }

UnitStream::~UnitStream() {
    close();
    Connection::Lock lock(connection_);
    if (failTimer_) pa_threaded_mainloop_get_api(connection_.mainloop())->time_free(failTimer_);
}

void UnitStream::lost() {
    // A recording whose source went away says so through its next render,
    // which is how the caller learns that a device it uses is gone. When the
    // whole server went away, the connection reports that instead.
    if (!recording_ || !connection_.alive() || failTimer_) return;
    if (devices_.defaultInput() != device_.id) {
        failRender();
        return;
    }
    // The default input going away is a change of default, which the caller
    // may be listening for: that goes first, and the render fails a little
    // later only if the unit is still running then.
    devices_.vanished(device_.id);
    failTimer_ = pa_context_rttime_new(connection_.context(), pa_rtclock_now() + 300 * PA_USEC_PER_MSEC,
                                       &UnitStream::failRenderLater, this);
}

void UnitStream::failRenderLater(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* data) {
    auto* self = static_cast<UnitStream*>(data);
    api->time_free(event);
    self->failTimer_ = nullptr;
    if (!self->closing()) self->failRender();
}

void UnitStream::failRender() {
    deviceGone_.store(true, std::memory_order_release);
    pump_.raiseFault();
}

OSStatus UnitStream::render(const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames, AudioBufferList* ioData) noexcept {
    if (!timeStamp || !ioData) return audio::kInvalidParameterError;
    if (bus != 1 || !recording_) return kUnitErrInvalidElement;
    if (deviceGone_.load(std::memory_order_acquire)) return kBadDeviceError;
    const UInt32 channels = clientFormat_.mChannelsPerFrame;
    const bool planar = isPlanar(clientFormat_);
    const UInt32 needed = planar ? channels : 1;
    const std::uint64_t bytes = std::uint64_t{frames} * 4 * (planar ? 1 : channels);
    if (frames > pump_.cycleFrames() || ioData->mNumberBuffers < needed) return audio::kInvalidParameterError;
    for (UInt32 b = 0; b < needed; ++b) {
        if (!ioData->mBuffers[b].mData || ioData->mBuffers[b].mDataByteSize < bytes) {
            return audio::kInvalidParameterError;
        }
    }
    for (UInt32 b = 0; b < needed; ++b) {
        AudioBuffer& buffer = ioData->mBuffers[b];
        auto* out = static_cast<float*>(buffer.mData);
        if (!slice_) {
            std::memset(out, 0, bytes);  // a render with no slice at hand
        } else if (!planar) {
            std::memcpy(out, slice_, bytes);
        } else {
            for (UInt32 i = 0; i < frames; ++i) {
                std::memcpy(out + i, slice_ + (std::size_t{i} * channels + b) * 4, 4);
            }
        }
        buffer.mDataByteSize = static_cast<UInt32>(bytes);
    }
    return 0;
}

void UnitStream::writable(pa_stream* stream, std::size_t bytes) {
    const std::size_t frameBytes = pa_frame_size(&spec_);
    AudioBufferList* list = renderBuffers_.list();
    while (bytes >= frameBytes && !closing()) {
        const auto frames = static_cast<UInt32>(std::min<std::size_t>(bytes / frameBytes, config_.maxFramesPerSlice));
        renderBuffers_.reset(frames, true);
        // Until the unit has taken the stream the server gets silence.
        if (config_.renderCallback.inputProc && taken_.load(std::memory_order_acquire)) {
            AudioTimeStamp stamp = stampAt(sampleTime_);
            AudioUnitRenderActionFlags flags = 0;
            config_.renderCallback.inputProc(config_.renderCallback.inputProcRefCon, &flags, &stamp, 0, frames, list);
        }
        void* room = nullptr;
        std::size_t roomBytes = std::size_t{frames} * frameBytes;
        if (closing() || pa_stream_begin_write(stream, &room, &roomBytes) < 0 || !room) return;
        const auto fit = static_cast<UInt32>(std::min<std::size_t>(frames, roomBytes / frameBytes));
        if (fit == 0) {
            pa_stream_cancel_write(stream);
            return;
        }
        auto* out = static_cast<float*>(room);
        const std::size_t channels = spec_.channels;
        if (renderBuffers_.buffers() == 1) {
            std::memcpy(out, renderBuffers_.data(0), std::size_t{fit} * frameBytes);
        } else {
            for (std::size_t c = 0; c < channels; ++c) {
                const float* in = renderBuffers_.data(c);
                for (UInt32 i = 0; i < fit; ++i) out[i * channels + c] = in[i];
            }
        }
        if (pa_stream_write(stream, room, std::size_t{fit} * frameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
        bytes -= std::size_t{fit} * frameBytes;
        sampleTime_ += fit;
    }
}

OSStatus Units::prepare(AudioUnit unit, const UnitConfig& config, AudioObjectID id,
                       std::shared_ptr<model::RunningUnit>* run, std::string*) {
    std::optional<ServerDevice> device = devices_.byId(id);
    if (!device) return kUnitErrNoConnection;
    *run = std::make_shared<UnitStream>(connection_, devices_, unit, config, *device);
    return 0;
}

}  // namespace tarnwick::pulse
