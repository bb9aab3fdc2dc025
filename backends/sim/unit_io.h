#pragma once
// A started audio unit: its IO thread, which calls the input callback and/or
// the render callback once per slice, and the render that fills a caller's
// buffers with the slice in the client format.

#include <cstdint>

#include "backends/sim/model_names.h"
#include "backends/sim/device_state.h"
#include "backends/sim/io_thread.h"
#include "frame/kit/serial_queue.h"
#include "frame/audio/platform_types.h"

namespace tarnwick::sim {

// Formats as a unit on `device` reports them when nobody set them.
AudioStreamBasicDescription deviceInputFormat(const DeviceState& device);
AudioStreamBasicDescription deviceOutputFormat(const DeviceState& device);
AudioStreamBasicDescription defaultRenderFormat(const DeviceState& device);

class UnitRun {
public:
    UnitRun(AudioUnit handle, const UnitConfig& config, DeviceState& device);

    void start(std::int64_t nowNs);
    IoThread& io() { return io_; }
    kit::SerialQueue* queue() const { return nullptr; }  // callbacks run on the IO thread itself
    AudioUnit handle() const { return handle_; }

    // AudioUnitRender on this run's slice. Real-time safe.
    OSStatus render(const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames, AudioBufferList* ioData) noexcept;

    // The run whose callback the calling thread is in, if any.
    static UnitRun* current() noexcept;

private:
    void cycle(std::uint64_t first, UInt32 frames, std::int64_t hostNs) noexcept;

    const AudioUnit handle_;
    const UnitConfig config_;
    DeviceState& device_;
    const AudioStreamBasicDescription clientFormat_;
    const double rate_;
    const UInt32 sliceFrames_;
    BufferListStorage output_;
    IoThread io_;
};

}  // namespace tarnwick::sim
