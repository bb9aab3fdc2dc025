#pragma once
// Process taps, aggregate devices and IO procs over the server. A tap with
// its aggregate device records the monitor of the aggregate's main sink, as
// float stereo at the sink's own rate; each delivered fragment is one IO
// cycle, handed over to the IO block on its queue from the backend's IO
// thread.

#include <atomic>
#include <memory>
#include <string>

#include "backends/model/runtime_objects.h"
#include "backends/pulse/server_devices.h"
#include "backends/pulse/server_stream.h"
#include "frame/audio/audio_system.h"

namespace tarnwick::pulse {

// The tap's channel count: a stereo mixdown.
inline constexpr UInt32 kTapChannels = 2;

class TapStream final : public ServerStream, public model::Run {
public:
    TapStream(Connection& connection, ServerDevices& devices, const ServerDevice& sink, UInt32 fragmentFrames,
              kit::SerialQueue* queue, audio::DeviceIOBlock block);
    ~TapStream() override { close(); }

    // Opens the monitor stream; the server may take a while to answer.
    OSStatus open() override;
    // Once the IO proc has taken the stream as its own: from here on its IO
    // block runs. Never before, so that a proc destroyed or stopped while
    // its start was under way is never called.
    void deliver() override;
    // After this no IO block begins.
    void stop() override {
        running_.store(false, std::memory_order_release);
        pump_.requestStop();
        close();
    }
    // A cycle may be running, or waiting for the queue, on behalf of the
    // calling thread: joining the IO thread from here would never return.
    bool joinWouldDeadlock() const override { return pump_.onThisThread() || (queue_ && queue_->isCurrent()); }
    // After stop(): waits for the cycle in progress.
    void join() override { pump_.join(); }

private:
    void ready(pa_stream* stream) override;
    void readable(pa_stream* stream) override;
    void lost() override;
    void deliver(const unsigned char* data, UInt32 frames, std::uint64_t sampleTime, std::uint64_t host) noexcept;

    ServerDevices& devices_;
    const ServerDevice sink_;
    const UInt32 fragmentFrames_;  // 0: the fragment the stream is asked for
    kit::SerialQueue* const queue_;
    const audio::DeviceIOBlock block_;
    std::atomic<bool> running_{true};
    pa_sample_spec spec_{};
    CapturePump pump_;
};

// The shared table of taps, aggregate devices and IO procs over the server:
// an aggregate records the monitor of its main device, which must be a sink;
// IO procs run on aggregates only.
class DeviceIO final : private model::ObjectHost {
public:
    DeviceIO(Connection& connection, ServerDevices& devices, std::atomic<AudioObjectID>& nextID)
        : connection_(connection), devices_(devices), nextID_(nextID), table_(*this) {}

    model::RuntimeObjects& table() { return table_; }
    const model::RuntimeObjects& table() const { return table_; }
    // Streams stopped from inside their own IO are let go: they are closed.
    void stopAll() { table_.stopAll(); }

private:
    AudioObjectID newObjectID() override { return nextID_.fetch_add(1); }
    AudioObjectID mainDevice(const std::string& uid) override;
    bool runsProcs(AudioObjectID) const override { return false; }
    OSStatus refusesProcs(AudioObjectID device) const override;
    OSStatus prepareProc(AudioObjectID device, const model::Aggregate* aggregate, kit::SerialQueue* queue,
                         const audio::DeviceIOBlock& block, std::shared_ptr<model::Run>* run,
                         std::string* note) override;

    Connection& connection_;
    ServerDevices& devices_;
    std::atomic<AudioObjectID>& nextID_;
    model::RuntimeObjects table_;
};

}  // namespace tarnwick::pulse
