#pragma once
// Objects created at run time: process taps, aggregate devices, and the IO
// procs of any device, kept in the shared table with the scenario's devices
// behind it, each call fault-checked and traced. IDs of taps and aggregate
// devices count from 1000, skip the scenario's own and are never reused.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backends/model/runtime_objects.h"
#include "backends/sim/aggregate_io.h"
#include "backends/sim/sim_context.h"
#include "frame/audio/audio_system.h"

namespace tarnwick::sim {

class HardwareObjects final : private model::ObjectHost {
public:
    explicit HardwareObjects(SimContext& context) : ctx_(context), table_(*this) {}
    ~HardwareObjects() override { stopAll(); }

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
    void stopAll() { ctx_.retired.addAll(table_.stopAll()); }

    // Whether an IO proc runs on a device that has output.
    bool runsOutputIO() const;

    // What the property code needs to know about these objects.
    bool isTap(AudioObjectID id) const { return table_.isTap(id); }
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
    model::RuntimeObjects& table() { return table_; }
    std::vector<AudioObjectID> listedAggregates() const { return table_.listedAggregates(); }

private:
    AudioObjectID newObjectID() override;
    AudioObjectID mainDevice(const std::string& uid) override;
    UInt32 aggregateBufferFrames() const override { return ctx_.scenario.tap.aggregateBufferFrames; }
    bool runsProcs(AudioObjectID device) const override { return ctx_.devices.byId(device) != nullptr; }
    OSStatus prepareProc(AudioObjectID device, const model::Aggregate* aggregate, kit::SerialQueue* queue,
                         const audio::DeviceIOBlock& block, std::shared_ptr<model::Run>* run,
                         std::string* note) override;

    // The injected fault for `call`, traced; one that nulls the result clears `*out`.
    template <typename T = int>
    std::optional<OSStatus> fault(Call call, const char* name, const std::string& args, T* out = nullptr) {
        auto hit = ctx_.faults->check(call);
        if (!hit) return std::nullopt;
        if (hit->nullResult && out) *out = T{};
        ctx_.trace->call(name, args, hit->status, "fault");
        return hit->status;
    }
    // A call that reports only its status, fault-checked and traced.
    template <typename Operation>
    OSStatus traced(Call call, const char* name, const std::string& args, Operation operation) {
        if (auto status = fault(call, name, args)) return *status;
        OSStatus status = operation();
        ctx_.trace->call(name, args, status, "");
        return status;
    }
    std::vector<UInt32> tapInputBuffers() const;
    ProcLayout layoutFor(AudioObjectID device, const model::Aggregate* aggregate) const;

    SimContext& ctx_;
    model::RuntimeObjects table_;
    AudioObjectID nextID_ = 1000;        // under the table's lock
    std::uint64_t aggregateStarts_ = 0;  // under the table's lock
};

}  // namespace tarnwick::sim
