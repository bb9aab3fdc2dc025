#include "backends/pulse/server_stream.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cmath>

#include "frame/host_clock.h"

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
    // A playback stream has nothing to place on the clock.
    timingKnown_ = !record;
    heldBytes_ = 0;
    heldTicks_ = 0;
    anchored_ = false;
    readIndex_ = 0;
    pa_stream_set_state_callback(stream_, &ServerStream::stateChanged, this);
    if (record) {
        pa_stream_set_read_callback(stream_, &ServerStream::readCallback, this);
        pa_stream_set_latency_update_callback(stream_, &ServerStream::latencyUpdated, this);
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
    if (timingRequest_) {
        pa_operation_cancel(timingRequest_);
        pa_operation_unref(timingRequest_);
        timingRequest_ = nullptr;
    }
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_latency_update_callback(stream_, nullptr, nullptr);
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
    const std::size_t readyBytes = ready == static_cast<std::size_t>(-1) ? 0 : ready;
    if (!timingKnown_ && readyBytes > 0) {
        if (readyBytes != heldBytes_) {
            heldBytes_ = readyBytes;
            heldTicks_ = hostTicks();
        }
        // Asked for once the audio flows: a report from before tells where
        // a stream stood that had not begun.
        if (!timingRequest_) timingRequest_ = pa_stream_update_timing_info(stream, &ServerStream::timingArrived, this);
        if (timingRequest_) return;
        timingKnown_ = true;  // no report to wait for
    }
    // What was held arrived when it was last seen growing, not now.
    const std::uint64_t arrived = heldBytes_ > 0 && readyBytes == heldBytes_ ? heldTicks_ : hostTicks();
    heldBytes_ = 0;
    pump.beginBatch(readyBytes / frameBytes, arrived, capturedEnd(stream, arrived, readIndex_ + readyBytes));
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
        readIndex_ += bytes;
    }
}

// A callback may close its own stream: the reference held here keeps the
// stream valid until the callback has returned.
void ServerStream::readCallback(pa_stream* stream, std::size_t, void* data) {
    pa_stream_ref(stream);
    static_cast<ServerStream*>(data)->readable(stream);
    pa_stream_unref(stream);
}

void ServerStream::timingArrived(pa_stream* stream, int success, void* data) {
    auto* self = static_cast<ServerStream*>(data);
    if (self->timingRequest_) {
        pa_operation_unref(self->timingRequest_);
        self->timingRequest_ = nullptr;
    }
    // The position is taken here as well, whether or not libpulse has told
    // the latency callback first. Without a report what is held goes out
    // placed by its arrival, and later reports place the rest.
    if (success) latencyUpdated(stream, self);
    self->timingKnown_ = true;
    if (self->closing_ || self->heldBytes_ == 0) return;
    pa_stream_ref(stream);
    self->readable(stream);
    pa_stream_unref(stream);
}

std::uint64_t ServerStream::capturedEnd(pa_stream* stream, std::uint64_t arrived, std::uint64_t endIndex) const {
    const double ticksPerSecond = 1.0 / machSeconds(1);
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    // Without a report's position: captured the server's latency before it
    // arrived (a monitor's: heard its sink's latency after), as the last
    // report had it.
    const double sink = timing ? static_cast<double>(timing->sink_usec) * 1e-6 : 0.0;
    const double lag = timing ? static_cast<double>(timing->source_usec + timing->transport_usec) * 1e-6 - sink : 0.0;
    const auto byArrival =
        static_cast<std::uint64_t>(std::max(0.0, static_cast<double>(arrived) - lag * ticksPerSecond));
    const pa_sample_spec* format = pa_stream_get_sample_spec(stream);
    if (!anchored_ || !format || format->rate == 0) return byArrival;
    const double bytesPerSecond = static_cast<double>(pa_frame_size(format)) * format->rate;
    const double captured =
        static_cast<double>(anchorTicks_) +
        (static_cast<double>(endIndex) - static_cast<double>(anchorIndex_)) / bytesPerSecond * ticksPerSecond;
    // Placed by the server's own position, the batch is placed however the
    // server happened to group and send it. A position that puts the capture
    // after the arrival (a monitor's: after its sink plays it), or long
    // before it, is from before a stall or a loss the report did not yet see.
    const double early = static_cast<double>(arrived) - captured;
    if (early < -(kAnchorSlackSeconds + sink) * ticksPerSecond || early > kPumpLateSeconds * ticksPerSecond) {
        return byArrival;
    }
    return static_cast<std::uint64_t>(std::max(0.0, captured));
}

void ServerStream::latencyUpdated(pa_stream* stream, void* data) {
    auto* self = static_cast<ServerStream*>(data);
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    if (!timing || timing->write_index_corrupt || timing->write_index < 0) return;
    // The report says how far the server had written into the stream at its
    // timestamp, and how long before that the source captured the next byte.
    // A monitor's audio is heard when its sink plays it, the sink's latency
    // after the monitor has it: then a microphone in the room captures the
    // same sound, and that time advances smoothly while the sink renders
    // ahead in blocks.
    const double ago = (static_cast<double>(pa_timeval_age(&timing->timestamp) + timing->source_usec) -
                        static_cast<double>(timing->sink_usec)) *
                       1e-6;
    const double ticks = static_cast<double>(hostTicks()) - ago / machSeconds(1);
    if (ticks <= 0) return;
    self->anchorTicks_ = static_cast<std::uint64_t>(ticks);
    self->anchorIndex_ = static_cast<std::uint64_t>(timing->write_index);
    self->anchored_ = true;
}

void ServerStream::writeCallback(pa_stream* stream, std::size_t bytes, void* data) {
    pa_stream_ref(stream);
    static_cast<ServerStream*>(data)->writable(stream, bytes);
    pa_stream_unref(stream);
}

}  // namespace tarnwick::pulse
