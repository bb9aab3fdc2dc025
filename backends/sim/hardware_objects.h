#pragma once
// Objects created at run time: process taps, aggregate devices, and the IO
// procs of any device. IDs of taps and aggregate devices count from 1000 and
// are never reused; IO procs are opaque numbered handles (proc#N).

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "backends/sim/aggregate_io.h"
#include "backends/sim/sim_context.h"
#include "frame/audio/audio_system.h"

namespace tarnwick::sim {

class HardwareObjects {
public:
    explicit HardwareObjects(SimContext& context) : ctx_(context) {}
    ~HardwareObjects() { stopAll(); }

    OSStatus createTap(const audio::TapDescription& description, AudioObjectID* outTapID);
    OSStatus destroyTap(AudioObjectID tap);
    OSStatus createAggregate(const nlohmann::json& description, AudioObjectID* outDeviceID);
    OSStatus destroyAggregate(AudioObjectID device);
    OSStatus createIOProc(AudioDeviceIOProcID* outProc, AudioObjectID device, kit::SerialQueue* queue,
                          audio::DeviceIOBlock block);
    OSStatus startDevice(AudioObjectID device, AudioDeviceIOProcID proc);
    OSStatus stopDevice(AudioObjectID device, AudioDeviceIOProcID proc);
    OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc);

    // Stops every running IO proc (the system is closing).
    void stopAll();

    // Whether an IO proc runs on a device that has output.
    bool runsOutputIO() const;

    // What the property code needs to know about these objects.
    bool isTap(AudioObjectID id) const;
    AudioStreamBasicDescription tapFormat() const;
    struct AggregateInfo {
        std::string uid;
        std::string name;
        const DeviceState* main;
        UInt32 bufferFrames;
        std::vector<UInt32> inputBuffers;
        bool isPrivate;
    };
    std::optional<AggregateInfo> aggregate(AudioObjectID id) const;
    bool setAggregateBufferFrames(AudioObjectID id, UInt32 frames);
    std::vector<AudioObjectID> listedAggregates() const;  // the non-private ones

private:
    struct Tap {
        audio::TapDescription description;
    };
    struct Aggregate {
        std::string uid;
        std::string name;
        bool isPrivate = false;
        DeviceState* main = nullptr;
        bool hasTap = false;
        UInt32 bufferFrames = 0;
    };
    struct Proc {
        std::uint64_t number = 0;
        AudioObjectID device = 0;
        kit::SerialQueue* queue = nullptr;
        audio::DeviceIOBlock block;
        std::shared_ptr<ProcRun> run;
        bool silentlyRunning = false;
        std::vector<std::shared_ptr<ProcRun>> retired;  // stopped, not yet joined (see retired_runs.h)
    };

    AudioObjectID nextObjectID();  // under mutex_
    std::vector<UInt32> tapInputBuffers() const;
    // Takes the proc's running and retired runs out (under mutex_): it is stopped.
    static std::vector<std::shared_ptr<ProcRun>> takeRuns(Proc& proc);
    // Stops runs taken out of `proc`; those that cannot be joined from here go back to it.
    void stopRuns(AudioDeviceIOProcID proc, std::vector<std::shared_ptr<ProcRun>> runs);
    std::optional<ProcLayout> layoutFor(AudioObjectID device);  // under mutex_

    SimContext& ctx_;
    mutable std::mutex mutex_;
    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, Aggregate> aggregates_;
    std::map<std::uintptr_t, Proc> procs_;
    AudioObjectID nextID_ = 1000;
    std::uint64_t nextProc_ = 1;
    std::uint64_t aggregateStarts_ = 0;
};

}  // namespace tarnwick::sim
