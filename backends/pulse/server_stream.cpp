#include "backends/pulse/server_stream.h"

#include <pthread.h>
#include <signal.h>

#include <cmath>

namespace tarnwick::pulse {

namespace {

uint32_t bytesFor(double seconds, const pa_sample_spec& spec) {
    return static_cast<uint32_t>(pa_usec_to_bytes(static_cast<pa_usec_t>(std::llround(seconds * 1e6)), &spec));
}

}  // namespace

OSStatus ServerStream::openRecord(const std::string& source, const pa_sample_spec& spec, const pa_channel_map& map,
                                  UInt32 fragmentFrames, pa_stream_flags_t flags) {
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = fragmentFrames > 0 ? fragmentFrames * static_cast<uint32_t>(pa_frame_size(&spec))
                                       : bytesFor(kFragmentSeconds, spec);
    return open(true, source, spec, map, attr, flags);
}

OSStatus ServerStream::openPlayback(const std::string& sink, const pa_sample_spec& spec, const pa_channel_map& map,
                                    double bufferSeconds) {
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = bytesFor(bufferSeconds, spec);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    // With its latency adjusted the stream asks the sink for no lower latency
    // than its own: unadjusted, a short buffer drives the sink (and so its
    // monitor) to its smallest blocks, thousands of wake-ups a second.
    return open(false, sink, spec, map, attr,
                static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE));
}

OSStatus ServerStream::open(bool record, const std::string& device, const pa_sample_spec& spec,
                            const pa_channel_map& map, const pa_buffer_attr& attr, pa_stream_flags_t flags) {
    ::pthread_sigmask(SIG_BLOCK, nullptr, &openerSignals_);
    Connection::Lock lock(connection_);
    if (!connection_.alive()) return kBadDeviceError;
    stream_ = pa_stream_new(connection_.context(), record ? "capture" : "keep-alive", &spec, &map);
    if (!stream_) return kBadDeviceError;
    closing_ = false;
    wasReady_ = false;
    pa_stream_set_state_callback(stream_, &ServerStream::stateChanged, this);
    if (record) {
        pa_stream_set_read_callback(stream_, &ServerStream::readCallback, this);
    } else {
        pa_stream_set_write_callback(stream_, &ServerStream::writeCallback, this);
    }
    int connected = record ? pa_stream_connect_record(stream_, device.c_str(), &attr, flags)
                           : pa_stream_connect_playback(stream_, device.c_str(), &attr, flags, nullptr, nullptr);
    if (connected < 0) return kBadDeviceError;
    bool settled = connection_.waitLocked(
        [this] {
            pa_stream_state_t state = pa_stream_get_state(stream_);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        },
        kStreamStartSeconds);
    if (!settled) return audio::kUnspecifiedError;
    return pa_stream_get_state(stream_) == PA_STREAM_READY ? 0 : kBadDeviceError;
}

void ServerStream::close() {
    if (!stream_) return;
    Connection::Lock lock(connection_);
    closing_ = true;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

void ServerStream::stateChanged(pa_stream* stream, void* data) {
    auto* self = static_cast<ServerStream*>(data);
    pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY && !self->wasReady_) {
        self->wasReady_ = true;
        self->ready(stream);
    }
    // A stream refused while opening is the opener's failure, not a loss.
    if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && self->wasReady_ && !self->closing_) {
        self->lost();
    }
    self->connection_.signal();
}

std::size_t ServerStream::grantedFragmentBytes(pa_stream* stream) {
    const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream);
    return granted && granted->fragsize != static_cast<uint32_t>(-1) ? granted->fragsize : 0;
}

void ServerStream::drainInto(pa_stream* stream, CapturePump& pump, std::size_t frameBytes) {
    const std::size_t ready = pa_stream_readable_size(stream);
    // From capture at the device to arrival here, as the server last told.
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    const std::uint64_t lag = timing ? (timing->source_usec + timing->transport_usec) * 1000 : 0;
    pump.beginBatch(ready == static_cast<std::size_t>(-1) ? 0 : ready / frameBytes, lag);
    while (!closing()) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
        const std::size_t frames = bytes / frameBytes;
        // A caller behind: the fragment waits in libpulse's buffer, and the
        // next delivery brings it back here.
        if (data && frames > pump.roomFrames() && frames <= pump.capacityFrames()) return;
        if (data) {
            pump.push(static_cast<const unsigned char*>(data), frames);
        } else {
            pump.skip(frames);
        }
        if (pa_stream_drop(stream) < 0) return;
    }
}

// A callback may close its own stream: the reference held here keeps the
// stream valid until the callback has returned.
void ServerStream::readCallback(pa_stream* stream, std::size_t, void* data) {
    pa_stream_ref(stream);
    static_cast<ServerStream*>(data)->readable(stream);
    pa_stream_unref(stream);
}

void ServerStream::writeCallback(pa_stream* stream, std::size_t bytes, void* data) {
    pa_stream_ref(stream);
    static_cast<ServerStream*>(data)->writable(stream, bytes);
    pa_stream_unref(stream);
}

}  // namespace tarnwick::pulse
