#pragma once
// The HAL output unit over the server: an instance bound to a source records
// from it, one bound to a sink plays into it. A recording unit's input
// callback runs on the backend's IO thread, once per slice of the size the
// device reports; a playing unit's render callback on the main-loop thread,
// once per slice the stream asks for.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backends/model/buffer_list.h"
#include "backends/model/unit_config.h"
#include "backends/model/unit_table.h"
#include "backends/model/stream_formats.h"
#include "backends/pulse/capture_pump.h"
#include "backends/pulse/server_devices.h"
#include "backends/pulse/server_stream.h"
#include "backends/pulse/server_unit_devices.h"

namespace tarnwick::pulse {

using model::floatFormat;
using model::UnitConfig;

// A started unit.
class UnitStream final : public ServerStream, public model::RunningUnit {
public:
    UnitStream(Connection& connection, ServerDevices& devices, AudioUnit handle, const UnitConfig& config,
               const ServerDevice& device);
    ~UnitStream() override;

    // Opens the stream; the server may take a while to answer.
    OSStatus open() override;
    // Frames per input callback: the buffer size the device reports.
    UInt32 cycleFrames() const { return pump_.cycleFrames(); }
    bool recording() const { return recording_; }
    void deliver() override;
    void stop() override {
        pump_.requestStop();
        close();
    }
    bool joinWouldDeadlock() const override { return pump_.onThisThread(); }
    void join() override { pump_.join(); }
    OSStatus render(const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                    AudioBufferList* ioData) noexcept override;

private:
    void ready(pa_stream* stream) override;
    void readable(pa_stream* stream) override;
    void writable(pa_stream* stream, std::size_t bytes) override;
    void lost() override;
    void failRender();
    static void failRenderLater(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
    void callInput(const unsigned char* slice, UInt32 frames, std::uint64_t sampleTime, std::uint64_t host) noexcept;

    ServerDevices& devices_;
    const UnitConfig config_;
    const ServerDevice device_;
    const bool recording_;
    pa_sample_spec spec_{};
    AudioStreamBasicDescription clientFormat_{};
    model::BufferListStorage renderBuffers_;  // playback: what the render callback fills
    const unsigned char* slice_ = nullptr;   // recording, IO thread: the slice being delivered
    std::uint64_t lastSampleTime_ = 0;       // recording, IO thread: where the last slice began
    std::atomic<bool> deviceGone_{false};
    std::atomic<bool> taken_{false};  // deliver() has run
    pa_time_event* failTimer_ = nullptr;  // under the main-loop lock
    std::uint64_t sampleTime_ = 0;        // playback
    CapturePump pump_;                    // recording: slices of one fixed size
};

// The shared unit table over the server's sinks and sources.
class Units final : private model::UnitStarter {
public:
    Units(Connection& connection, ServerDevices& devices)
        : connection_(connection), devices_(devices), unitDevices_(devices), table_(unitDevices_, *this) {}

    model::UnitTable& table() { return table_; }
    // Runs stopped from inside their own callback are let go: their stream is closed.
    void stopAll() { table_.stopAll(); }

private:
    OSStatus prepare(AudioUnit unit, const UnitConfig& config, AudioObjectID device,
                     std::shared_ptr<model::RunningUnit>* run, std::string* note) override;

    Connection& connection_;
    ServerDevices& devices_;
    ServerUnitDevices unitDevices_;
    model::UnitTable table_;
};

}  // namespace tarnwick::pulse
