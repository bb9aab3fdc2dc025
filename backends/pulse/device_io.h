#pragma once
// Process taps, aggregate devices and IO procs over the server. A tap with
// its aggregate device records the monitor of the aggregate's main sink, as
// float stereo at the sink's own rate; each delivered fragment is one IO
// cycle, handed over to the IO block on its queue from the backend's IO
// thread.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "backends/pulse/server_devices.h"
#include "backends/pulse/server_stream.h"
#include "frame/audio/audio_system.h"

namespace tarnwick::pulse {

// The tap's channel count: a stereo mixdown.
inline constexpr UInt32 kTapChannels = 2;

class TapStream final : public ServerStream {
public:
    TapStream(Connection& connection, ServerDevices& devices, kit::SerialQueue* queue, audio::DeviceIOBlock block);
    ~TapStream() override { close(); }

    OSStatus start(const ServerDevice& sink, UInt32 fragmentFrames);
    // Once the IO proc has taken the stream as its own: from here on its IO
    // block runs. Never before, so that a proc destroyed or stopped while
    // its start was under way is never called.
    void startDelivering();
    // After this no IO block begins.
    void stopDelivering() noexcept {
        running_.store(false, std::memory_order_release);
        pump_.requestStop();
    }
    // A cycle may be running, or waiting for the queue, on behalf of the
    // calling thread: joining the IO thread from here would never return.
    bool joinWouldDeadlock() const { return pump_.onThisThread() || (queue_ && queue_->isCurrent()); }
    // After stopDelivering() and close(): waits for the cycle in progress.
    void join() { pump_.join(); }
    UInt32 cycleFrames() const { return pump_.cycleFrames(); }

private:
    void ready(pa_stream* stream) override;
    void readable(pa_stream* stream) override;
    void lost() override;
    void deliver(const unsigned char* data, UInt32 frames, std::uint64_t sampleTime, std::uint64_t host) noexcept;

    ServerDevices& devices_;
    AudioObjectID sink_ = 0;
    kit::SerialQueue* const queue_;
    const audio::DeviceIOBlock block_;
    std::atomic<bool> running_{true};
    pa_sample_spec spec_{};
    CapturePump pump_;
};

class DeviceIO {
public:
    DeviceIO(Connection& connection, ServerDevices& devices, std::atomic<AudioObjectID>& nextID)
        : connection_(connection), devices_(devices), nextID_(nextID) {}
    ~DeviceIO() { stopAll(); }

    OSStatus createTap(const audio::TapDescription& description, AudioObjectID* outTapID);
    OSStatus destroyTap(AudioObjectID tap);
    OSStatus createAggregate(const nlohmann::json& description, AudioObjectID* outDeviceID);
    OSStatus destroyAggregate(AudioObjectID device);
    OSStatus createIOProc(AudioDeviceIOProcID* outProc, AudioObjectID device, kit::SerialQueue* queue,
                          audio::DeviceIOBlock block);
    OSStatus startDevice(AudioObjectID device, AudioDeviceIOProcID proc);
    OSStatus stopDevice(AudioObjectID device, AudioDeviceIOProcID proc);
    OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc);
    void stopAll();

    struct AggregateInfo {
        std::string uid;
        std::string name;
        AudioObjectID main = 0;
        UInt32 bufferFrames = 0;  // 0: follow the main device
        bool hasTap = false;
    };
    bool isTap(AudioObjectID id) const;
    std::optional<AggregateInfo> aggregate(AudioObjectID id) const;
    bool setAggregateBufferFrames(AudioObjectID id, UInt32 frames);

private:
    struct Proc {
        AudioObjectID device = 0;
        kit::SerialQueue* queue = nullptr;
        audio::DeviceIOBlock block;
        std::shared_ptr<TapStream> stream;
    };

    // Stops and closes streams taken out of their procs, and waits for
    // their IO where that is safe (see retired_).
    void retire(std::vector<std::shared_ptr<TapStream>> streams);

    Connection& connection_;
    ServerDevices& devices_;
    std::atomic<AudioObjectID>& nextID_;
    mutable std::mutex mutex_;
    std::map<AudioObjectID, audio::TapDescription> taps_;
    std::map<AudioObjectID, AggregateInfo> aggregates_;
    std::map<std::uintptr_t, Proc> procs_;
    std::uint64_t nextProc_ = 1;
    // Streams stopped and closed from a place where waiting for their IO
    // thread could deadlock (an item of their own IO queue, on which their
    // cycle may be waiting): joined by the next retire from a safe place, or
    // when the system closes.
    std::vector<std::shared_ptr<TapStream>> retired_;
};

}  // namespace tarnwick::pulse
