#pragma once
// The HAL output unit over the server: an instance bound to a source records
// from it, one bound to a sink plays into it. A recording unit's input
// callback runs on the backend's IO thread, once per slice of the size the
// device reports; a playing unit's render callback on the main-loop thread,
// once per slice the stream asks for.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "backends/model/buffer_list.h"
#include "backends/model/unit_config.h"
#include "backends/model/stream_formats.h"
#include "backends/pulse/capture_pump.h"
#include "backends/pulse/server_devices.h"
#include "backends/pulse/server_stream.h"

namespace tarnwick::pulse {

using model::floatFormat;
using model::UnitConfig;

// A started unit.
class UnitStream final : public ServerStream {
public:
    UnitStream(Connection& connection, ServerDevices& devices, AudioUnit handle, const UnitConfig& config,
               const ServerDevice& device);
    ~UnitStream() override;

    OSStatus start();
    AudioUnit handle() const { return handle_; }
    // Frames per input callback: the buffer size the device reports.
    UInt32 cycleFrames() const { return pump_.cycleFrames(); }
    bool recording() const { return recording_; }
    // Once the unit has taken the stream as its own: from here on its input
    // callback runs. Never before, so that a unit disposed while its start
    // was under way is never called.
    void startDelivering();
    // After this no callback begins.
    void stopDelivering() noexcept { pump_.requestStop(); }
    // Called from inside this unit's own input callback.
    bool joinWouldDeadlock() const { return pump_.onThisThread(); }
    // After stopDelivering() and close(): waits for the callback in progress.
    void join() { pump_.join(); }
    // AudioUnitRender from inside this unit's input callback. Real-time safe.
    OSStatus render(const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames, AudioBufferList* ioData) noexcept;
    // The unit whose callback the calling thread is in, if any.
    static UnitStream* current() noexcept;

private:
    void ready(pa_stream* stream) override;
    void readable(pa_stream* stream) override;
    void writable(pa_stream* stream, std::size_t bytes) override;
    void lost() override;
    void failRender();
    static void failRenderLater(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);
    void callInput(const unsigned char* slice, UInt32 frames, std::uint64_t sampleTime, std::uint64_t host) noexcept;

    ServerDevices& devices_;
    const AudioUnit handle_;
    const UnitConfig config_;
    const ServerDevice device_;
    const bool recording_;
    pa_sample_spec spec_{};
    AudioStreamBasicDescription clientFormat_{};
    model::BufferListStorage renderBuffers_;  // playback: what the render callback fills
    const unsigned char* slice_ = nullptr;   // recording, IO thread: the slice being delivered
    std::uint64_t lastSampleTime_ = 0;       // recording, IO thread: where the last slice began
    std::atomic<bool> deviceGone_{false};
    std::atomic<bool> taken_{false};  // startDelivering() has run
    pa_time_event* failTimer_ = nullptr;  // under the main-loop lock
    std::uint64_t sampleTime_ = 0;        // playback
    CapturePump pump_;                    // recording: slices of one fixed size
};

class Units {
public:
    Units(Connection& connection, ServerDevices& devices) : connection_(connection), devices_(devices) {}
    ~Units() { stopAll(); }

    AudioComponent findNext(AudioComponent previous, const AudioComponentDescription* description);
    OSStatus instanceNew(AudioComponent component, AudioComponentInstance* outInstance);
    OSStatus dispose(AudioUnit unit);
    OSStatus setProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* data, UInt32 size);
    OSStatus getProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* data, UInt32* ioSize);
    OSStatus initialize(AudioUnit unit);
    OSStatus uninitialize(AudioUnit unit);
    OSStatus start(AudioUnit unit);
    OSStatus stop(AudioUnit unit);
    OSStatus render(AudioUnit unit, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* timeStamp, UInt32 bus,
                    UInt32 frames, AudioBufferList* ioData);
    void stopAll();

private:
    struct Unit {
        UnitConfig config;
        std::shared_ptr<UnitStream> stream;  // while started
    };

    Unit* find(AudioUnit unit);  // under mutex_
    std::optional<ServerDevice> boundDevice(const UnitConfig& config) const;
    // Stops and closes a stream taken out of its unit and waits for its
    // callback to leave; one stopped from inside its own callback is joined
    // later, as that callback is still on the stack.
    void retire(std::shared_ptr<UnitStream> stream);

    Connection& connection_;
    ServerDevices& devices_;
    std::mutex mutex_;
    std::map<std::uintptr_t, std::unique_ptr<Unit>> units_;
    std::vector<std::shared_ptr<UnitStream>> retired_;
    std::uint64_t nextNumber_ = 1;
};

}  // namespace tarnwick::pulse
