#pragma once
// Objects created at run time, the same for every backend that emulates
// them: process taps, aggregate devices, and IO procs. Taps and aggregate
// devices take object IDs the backend hands out, never reused; IO procs are
// opaque numbered handles (proc#N in the trace). What a device is, and how a
// proc's IO runs on it, each backend supplies as an ObjectHost.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "backends/model/runs.h"
#include "frame/audio/audio_system.h"

namespace tarnwick::model {

struct Aggregate {
    std::string uid;
    std::string name;
    bool isPrivate = false;
    AudioObjectID main = 0;  // the sub-device that clocks it
    bool hasTap = false;
    UInt32 bufferFrames = 0;  // as the backend gave it, then as set; in force from the next start
};

// IO procs are numbers dressed as the platform's handle type, never pointers
// to our objects.
constexpr std::uintptr_t kProcHandleBase = 0x5B000000;

// "proc#N"; "none" for no proc.
std::string procName(AudioDeviceIOProcID proc);

class ObjectHost {
public:
    virtual ~ObjectHost() = default;
    // Under the table's lock: an object ID nothing has had.
    virtual AudioObjectID newObjectID() = 0;
    // The device an aggregate with `uid` as its main sub-device is clocked
    // by; 0 when there is none that can be.
    virtual AudioObjectID mainDevice(const std::string& uid) = 0;
    // A new aggregate device's buffer size.
    virtual UInt32 aggregateBufferFrames() const { return 0; }
    // Whether IO procs run on `device`, a device of the backend's own (not an aggregate).
    virtual bool runsProcs(AudioObjectID device) const = 0;
    // The status that refuses to create an IO proc on `device`, on which none run.
    virtual OSStatus refusesProcs(AudioObjectID) const { return audio::kBadObjectError; }
    // Under the table's lock: the run of an IO proc on `device` (`aggregate`,
    // when it is one). A start that succeeds but never calls back leaves
    // `run` null. `note` says what the start did.
    virtual OSStatus prepareProc(AudioObjectID device, const Aggregate* aggregate, kit::SerialQueue* queue,
                                 const audio::DeviceIOBlock& block, std::shared_ptr<Run>* run,
                                 std::string* note) = 0;
};

class RuntimeObjects {
public:
    explicit RuntimeObjects(ObjectHost& host) : host_(host) {}
    ~RuntimeObjects() { stopAll(); }
    RuntimeObjects(const RuntimeObjects&) = delete;
    RuntimeObjects& operator=(const RuntimeObjects&) = delete;

    OSStatus createTap(const audio::TapDescription& description, AudioObjectID* outTapID);
    OSStatus destroyTap(AudioObjectID tap);
    // `note` says why one was refused beyond its status.
    OSStatus createAggregate(const nlohmann::json& description, AudioObjectID* outDeviceID,
                             std::string* note = nullptr);
    // Its IO procs go with it.
    OSStatus destroyAggregate(AudioObjectID device);
    OSStatus createIOProc(AudioDeviceIOProcID* outProc, AudioObjectID device, kit::SerialQueue* queue,
                          audio::DeviceIOBlock block);
    // `note`, when given, says what the start did.
    OSStatus startDevice(AudioObjectID device, AudioDeviceIOProcID proc, std::string* note = nullptr);
    OSStatus stopDevice(AudioObjectID device, AudioDeviceIOProcID proc);
    OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc);
    // Stops every running IO proc (the system is closing). Returns the runs
    // that cannot be joined from here.
    Runs stopAll();

    bool isTap(AudioObjectID id) const;
    std::optional<Aggregate> aggregate(AudioObjectID id) const;
    bool setAggregateBufferFrames(AudioObjectID id, UInt32 frames);
    std::vector<AudioObjectID> listedAggregates() const;  // the non-private ones
    // The backend's devices whose IO an IO proc runs now, once for each
    // proc: an aggregate device's main sub-device in its place.
    std::vector<AudioObjectID> hardwareRunningIO() const;

private:
    struct Proc {
        AudioObjectID device = 0;
        kit::SerialQueue* queue = nullptr;
        audio::DeviceIOBlock block;
        std::shared_ptr<Run> run;      // while started with IO
        bool silentlyRunning = false;  // started, but this start never calls back
    };

    bool hostsProcs(AudioObjectID device) const;  // under mutex_
    // The proc `proc` on `device`; refused: the status.
    OSStatus findProc(AudioObjectID device, AudioDeviceIOProcID proc, Proc** found);  // under mutex_

    ObjectHost& host_;
    mutable std::mutex mutex_;
    std::map<AudioObjectID, audio::TapDescription> taps_;
    std::map<AudioObjectID, Aggregate> aggregates_;
    std::map<std::uintptr_t, Proc> procs_;
    std::uint64_t nextProc_ = 1;
    StoppedRuns stopped_;
};

}  // namespace tarnwick::model
