#pragma once
// A started audio unit: its IO thread, which calls the input callback and/or
// the render callback once per slice, and the render that fills a caller's
// buffers with the slice in the client format.

#include <cstdint>

#include "backends/sim/model_names.h"
#include "backends/sim/device_state.h"
#include "backends/sim/io_thread.h"
#include "backends/model/unit_table.h"
#include "frame/kit/serial_queue.h"
#include "frame/audio/platform_types.h"

namespace tarnwick::sim {

// Formats as a unit on `device` reports them when nobody set them.
AudioStreamBasicDescription deviceInputFormat(const DeviceState& device);
AudioStreamBasicDescription deviceOutputFormat(const DeviceState& device);
AudioStreamBasicDescription defaultRenderFormat(const DeviceState& device);

// The scenario's devices as the shared unit properties see them.
class ScenarioUnitDevices final : public model::UnitDevices {
public:
    explicit ScenarioUnitDevices(const DeviceTable& devices) : devices_(devices) {}

    bool exists(AudioObjectID device) const override { return devices_.byId(device) != nullptr; }
    AudioObjectID bound(const UnitConfig& config) const override;
    AudioStreamBasicDescription inputFormat(AudioObjectID device) const override;
    AudioStreamBasicDescription outputFormat(AudioObjectID device) const override;
    AudioStreamBasicDescription renderFormat(AudioObjectID device) const override;
    OSStatus acceptsClientFormat(AudioObjectID device, const AudioStreamBasicDescription& format) const override;
    OSStatus acceptsRenderFormat(AudioObjectID device, const AudioStreamBasicDescription& format) const override;

private:
    const DeviceTable& devices_;
};

class UnitRun final : public model::RunningUnit {
public:
    UnitRun(AudioUnit handle, const UnitConfig& config, DeviceState& device);

    IoThread& io() { return io_; }
    kit::SerialQueue* queue() const { return nullptr; }  // callbacks run on the IO thread itself

    // The IO thread starts, paced from now.
    void deliver() override;
    void stop() override { io_.requestStop(); }
    bool joinWouldDeadlock() const override { return io_.onThisThread(); }
    void join() override { io_.join(); }
    // AudioUnitRender on this run's slice. Real-time safe.
    OSStatus render(const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames, AudioBufferList* ioData) noexcept override;
    // Outside the callback the signal is rendered all the same.
    OSStatus renderElsewhere(const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                             AudioBufferList* ioData) noexcept override {
        return render(timeStamp, bus, frames, ioData);
    }

private:
    void cycle(std::uint64_t first, UInt32 frames, std::int64_t hostNs) noexcept;

    const UnitConfig config_;
    DeviceState& device_;
    const AudioStreamBasicDescription clientFormat_;
    const double rate_;
    const UInt32 sliceFrames_;
    BufferListStorage output_;
    IoThread io_;
};

}  // namespace tarnwick::sim
