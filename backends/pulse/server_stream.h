#pragma once
// One stream to or from the server, with the discipline every stream of this
// backend follows: opened and closed by callers holding the main-loop lock,
// its callbacks run on the main-loop thread, and once close() has returned
// none of them runs again.

#include <pulse/pulseaudio.h>

#include <string>

#include "backends/model/status_codes.h"
#include "backends/pulse/capture_pump.h"
#include "backends/pulse/connection.h"
#include "frame/audio/platform_types.h"

namespace tarnwick::pulse {

// How long a stream may take to start before the start counts as "no IO".
inline constexpr double kStreamStartSeconds = 3.0;
// The fragment size asked for: the latency class of the programs.
inline constexpr double kFragmentSeconds = 0.020;
// How much later than its arrival the server's position may place a batch's
// capture (the report's own rounding and the clocks' reading) before the
// position counts as stale.
inline constexpr double kAnchorSlackSeconds = 0.002;

using model::kBadDeviceError;

class ServerStream {
public:
    explicit ServerStream(Connection& connection) : connection_(connection) {}
    virtual ~ServerStream() { close(); }
    ServerStream(const ServerStream&) = delete;
    ServerStream& operator=(const ServerStream&) = delete;

    // Connects and waits until the stream runs. 0; kBadDeviceError when the
    // server refused it; kUnspecifiedError when it did not start in time.
    // `fragmentFrames` 0 asks for kFragmentSeconds.
    OSStatus openRecord(const std::string& source, const pa_sample_spec& spec, const pa_channel_map& map,
                        UInt32 fragmentFrames, pa_stream_flags_t flags);
    OSStatus openPlayback(const std::string& sink, const pa_sample_spec& spec, const pa_channel_map& map,
                          double bufferSeconds);
    // Idempotent; takes the main-loop lock unless called on its thread.
    void close();

protected:
    // True once close() has begun: a callback stops delivering.
    bool closing() const { return closing_; }

    // Main-loop thread: moves everything the server has ready into `pump`,
    // and returns. A hole the server reports is time the device had and the
    // stream lost. Each batch is stamped with when its last frame was
    // captured, from where the server's latest timing report placed the
    // stream; so a recording delivers nothing before the first report after
    // its audio began to flow (a round trip to the server), and the first
    // cycles, which place the stream on the host clock, are placed as well
    // as the rest.
    void drainInto(pa_stream* stream, CapturePump& pump, std::size_t frameBytes);
    // The fragment size the server granted a recording (0: unknown). The
    // fragments may be of any size: cycles keep the size the device reports.
    static std::size_t grantedFragmentBytes(pa_stream* stream);

    // Main-loop thread, once, when the stream runs and before it delivers
    // anything: the buffer attributes the server granted are known here.
    virtual void ready(pa_stream*) {}
    // Main-loop thread.
    virtual void readable(pa_stream*) {}
    virtual void writable(pa_stream*, std::size_t) {}
    // The stream ended without close(): its device went away or the server did.
    virtual void lost() {}

    Connection& connection_;
    // The signals the thread that opened the stream blocks: its IO thread
    // blocks the same.
    sigset_t openerSignals_{};

private:
    OSStatus open(bool record, const std::string& device, const pa_sample_spec& spec, const pa_channel_map& map,
                  const pa_buffer_attr& attr, pa_stream_flags_t flags);
    static void stateChanged(pa_stream* stream, void* self);
    static void readCallback(pa_stream* stream, std::size_t bytes, void* self);
    static void writeCallback(pa_stream* stream, std::size_t bytes, void* self);
    static void timingArrived(pa_stream* stream, int success, void* self);
    static void latencyUpdated(pa_stream* stream, void* self);
    // When the stream's byte `endIndex`, which arrived at `arrived`, was
    // captured, in host ticks.
    std::uint64_t capturedEnd(pa_stream* stream, std::uint64_t arrived, std::uint64_t endIndex) const;

    pa_stream* stream_ = nullptr;
    bool closing_ = false;  // under the main-loop lock
    bool wasReady_ = false;  // likewise
    // A recording's first timing report since its audio began. Until it
    // arrives what is readable waits in libpulse's buffer, and heldTicks_ is
    // when the last of it arrived.
    pa_operation* timingRequest_ = nullptr;
    bool timingKnown_ = false;
    std::size_t heldBytes_ = 0;
    std::uint64_t heldTicks_ = 0;
    // Where the stream stands on the host clock, from the server's last
    // timing report: the byte `anchorIndex_` of the stream was captured at
    // `anchorTicks_`. `readIndex_` counts the bytes taken out, holes included.
    bool anchored_ = false;
    std::uint64_t anchorIndex_ = 0;
    std::uint64_t anchorTicks_ = 0;
    std::uint64_t readIndex_ = 0;
};

}  // namespace tarnwick::pulse
