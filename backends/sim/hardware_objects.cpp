// Process taps and aggregate devices: creation, destruction, and what their
// properties report.

#include "backends/sim/hardware_objects.h"

#include "backends/model/aggregate_description.h"
#include "backends/sim/layer_names.h"

namespace tarnwick::sim {

AudioObjectID HardwareObjects::nextObjectID() {
    // Skip IDs the scenario gave its devices and processes: run-time objects
    // never share one.
    while (ctx_.devices.byId(nextID_) || ctx_.processes.names(nextID_)) ++nextID_;
    return nextID_++;
}

OSStatus HardwareObjects::createTap(const audio::TapDescription& description, AudioObjectID* outTapID) {
    std::string args = jsonLine(description.toJson());
    if (auto hit = ctx_.faults->check(Call::AudioHardwareCreateProcessTap)) {
        if (hit->nullResult && outTapID) *outTapID = 0;
        ctx_.trace->call("AudioHardwareCreateProcessTap", args, hit->status, "fault");
        return hit->status;
    }
    if (!outTapID) {
        ctx_.trace->call("AudioHardwareCreateProcessTap", args, audio::kInvalidParameterError, "");
        return audio::kInvalidParameterError;
    }
    AudioObjectID id;
    {
        std::lock_guard lock(mutex_);
        id = nextObjectID();
        taps_.emplace(id, Tap{description});
    }
    *outTapID = id;
    ctx_.trace->call("AudioHardwareCreateProcessTap", args, 0, "id=" + std::to_string(id));
    return 0;
}

OSStatus HardwareObjects::destroyTap(AudioObjectID tap) {
    std::string args = std::to_string(tap);
    if (auto hit = ctx_.faults->check(Call::AudioHardwareDestroyProcessTap)) {
        ctx_.trace->call("AudioHardwareDestroyProcessTap", args, hit->status, "fault");
        return hit->status;
    }
    OSStatus status;
    {
        std::lock_guard lock(mutex_);
        status = taps_.erase(tap) ? 0 : audio::kBadObjectError;
    }
    ctx_.trace->call("AudioHardwareDestroyProcessTap", args, status, "");
    return status;
}

OSStatus HardwareObjects::createAggregate(const nlohmann::json& description, AudioObjectID* outDeviceID) {
    std::string args = jsonLine(description);
    auto finishCall = [&](OSStatus status, const std::string& result) {
        ctx_.trace->call("AudioHardwareCreateAggregateDevice", args, status, result);
        return status;
    };
    if (auto hit = ctx_.faults->check(Call::AudioHardwareCreateAggregateDevice)) {
        if (hit->nullResult && outDeviceID) *outDeviceID = 0;
        return finishCall(hit->status, "fault");
    }
    if (!outDeviceID || !description.is_object()) return finishCall(audio::kInvalidParameterError, "");

    const model::AggregateDescription asked = model::parseAggregateDescription(description);
    Aggregate aggregate;
    aggregate.uid = asked.uid;
    aggregate.name = asked.name;
    aggregate.isPrivate = asked.isPrivate;
    aggregate.main = asked.mainUid ? ctx_.devices.byUid(*asked.mainUid) : nullptr;
    if (!aggregate.main) return finishCall(kBadDeviceError, "no main sub-device");

    AudioObjectID id;
    {
        std::lock_guard lock(mutex_);
        for (const auto& tapUid : asked.taps) {
            bool known = false;
            for (const auto& [tapId, tap] : taps_) known = known || (tapUid && tap.description.uuid == *tapUid);
            if (!known) {
                ctx_.trace->call("AudioHardwareCreateAggregateDevice", args, audio::kBadObjectError, "unknown tap");
                return audio::kBadObjectError;
            }
            aggregate.hasTap = true;
        }
        aggregate.bufferFrames = ctx_.scenario.tap.aggregateBufferFrames;
        id = nextObjectID();
        aggregates_.emplace(id, std::move(aggregate));
    }
    *outDeviceID = id;
    return finishCall(0, "id=" + std::to_string(id));
}

OSStatus HardwareObjects::destroyAggregate(AudioObjectID device) {
    std::string args = std::to_string(device);
    if (auto hit = ctx_.faults->check(Call::AudioHardwareDestroyAggregateDevice)) {
        ctx_.trace->call("AudioHardwareDestroyAggregateDevice", args, hit->status, "fault");
        return hit->status;
    }
    OSStatus status = 0;
    std::vector<std::shared_ptr<ProcRun>> runs;
    {
        std::lock_guard lock(mutex_);
        if (aggregates_.erase(device)) {
            // Its IO procs go with it.
            for (auto it = procs_.begin(); it != procs_.end();) {
                if (it->second.device == device) {
                    for (auto& run : takeRuns(it->second)) runs.push_back(std::move(run));
                    it = procs_.erase(it);
                } else {
                    ++it;
                }
            }
        } else {
            status = audio::kBadObjectError;
        }
    }
    stopAndJoinWhereSafe(runs);
    ctx_.retired.addAll(runs);
    ctx_.trace->call("AudioHardwareDestroyAggregateDevice", args, status, "");
    return status;
}

std::vector<UInt32> HardwareObjects::tapInputBuffers() const {
    const TapSpec& tap = ctx_.scenario.tap;
    if (tap.planar) return std::vector<UInt32>(tap.delivered(), 1);
    return {tap.delivered()};
}

bool HardwareObjects::isTap(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    return taps_.count(id) > 0;
}

AudioStreamBasicDescription HardwareObjects::tapFormat() const {
    const TapSpec& tap = ctx_.scenario.tap;
    double rate = kFallbackIoRate;
    if (tap.sampleRate) {
        rate = *tap.sampleRate;
    } else if (const DeviceState* output = ctx_.devices.byId(ctx_.devices.defaultOutput.load())) {
        rate = output->nominalRate().value_or(kFallbackIoRate);
    }
    AudioStreamBasicDescription f{};
    f.mSampleRate = rate;
    f.mFormatID = audio::kFormatLinearPCM;
    f.mFormatFlags = audio::kFormatFlagIsFloat | audio::kFormatFlagIsPacked |
                     (tap.planar ? audio::kFormatFlagIsNonInterleaved : 0);
    UInt32 bytesPerFrame = tap.planar ? 4 : 4 * tap.channels;
    f.mBytesPerPacket = bytesPerFrame;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = bytesPerFrame;
    f.mChannelsPerFrame = tap.channels;
    f.mBitsPerChannel = 32;
    return f;
}

std::optional<HardwareObjects::AggregateInfo> HardwareObjects::aggregate(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    auto found = aggregates_.find(id);
    if (found == aggregates_.end()) return std::nullopt;
    const Aggregate& a = found->second;
    return AggregateInfo{a.uid, a.name, a.main, a.bufferFrames, a.hasTap ? tapInputBuffers() : std::vector<UInt32>{},
                         a.isPrivate};
}

bool HardwareObjects::setAggregateBufferFrames(AudioObjectID id, UInt32 frames) {
    std::lock_guard lock(mutex_);
    auto found = aggregates_.find(id);
    if (found == aggregates_.end()) return false;
    found->second.bufferFrames = frames;  // in force from the next AudioDeviceStart
    return true;
}

std::vector<AudioObjectID> HardwareObjects::listedAggregates() const {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectID> ids;
    for (const auto& [id, a] : aggregates_) {
        if (!a.isPrivate) ids.push_back(id);
    }
    return ids;
}

}  // namespace tarnwick::sim
