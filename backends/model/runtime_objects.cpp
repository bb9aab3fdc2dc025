// Process taps, aggregate devices and IO procs: creation, destruction, and
// the start and stop of IO procs, whatever runs them.

#include "backends/model/runtime_objects.h"

#include "backends/model/aggregate_description.h"
#include "backends/model/status_codes.h"

namespace tarnwick::model {

namespace {

std::uintptr_t procKey(AudioDeviceIOProcID proc) { return reinterpret_cast<std::uintptr_t>(proc); }

}  // namespace

std::string procName(AudioDeviceIOProcID proc) {
    std::uintptr_t value = procKey(proc);
    if (value == 0) return "none";
    return "proc#" + std::to_string(value > kProcHandleBase ? value - kProcHandleBase : 0);
}

OSStatus RuntimeObjects::createTap(const audio::TapDescription& description, AudioObjectID* outTapID) {
    if (!outTapID) return audio::kInvalidParameterError;
    AudioObjectID id;
    {
        std::lock_guard lock(mutex_);
        id = host_.newObjectID();
        taps_.emplace(id, description);
    }
    *outTapID = id;
    return 0;
}

OSStatus RuntimeObjects::destroyTap(AudioObjectID tap) {
    std::lock_guard lock(mutex_);
    return taps_.erase(tap) ? 0 : audio::kBadObjectError;
}

OSStatus RuntimeObjects::createAggregate(const nlohmann::json& description, AudioObjectID* outDeviceID,
                                         std::string* note) {
    if (!outDeviceID || !description.is_object()) return audio::kInvalidParameterError;
    const AggregateDescription asked = parseAggregateDescription(description);
    Aggregate aggregate;
    aggregate.uid = asked.uid;
    aggregate.name = asked.name;
    aggregate.isPrivate = asked.isPrivate;
    aggregate.main = asked.mainUid ? host_.mainDevice(*asked.mainUid) : 0;
    if (!aggregate.main) {
        if (note) *note = "no main sub-device";
        return kBadDeviceError;
    }
    std::lock_guard lock(mutex_);
    for (const auto& tapUid : asked.taps) {
        bool known = false;
        for (const auto& [tapId, tap] : taps_) known = known || (tapUid && tap.uuid == *tapUid);
        if (!known) {
            if (note) *note = "unknown tap";
            return audio::kBadObjectError;
        }
        aggregate.hasTap = true;
    }
    aggregate.bufferFrames = host_.aggregateBufferFrames();
    const AudioObjectID id = host_.newObjectID();
    aggregates_.emplace(id, std::move(aggregate));
    *outDeviceID = id;
    return 0;
}

OSStatus RuntimeObjects::destroyAggregate(AudioObjectID device) {
    Runs runs;
    {
        std::lock_guard lock(mutex_);
        if (!aggregates_.erase(device)) return audio::kBadObjectError;
        for (auto it = procs_.begin(); it != procs_.end();) {
            if (it->second.device == device) {
                if (it->second.run) runs.push_back(std::move(it->second.run));
                it = procs_.erase(it);
            } else {
                ++it;
            }
        }
    }
    stopped_.retire(std::move(runs));
    return 0;
}

bool RuntimeObjects::hostsProcs(AudioObjectID device) const {
    return aggregates_.count(device) > 0 || host_.runsProcs(device);
}

OSStatus RuntimeObjects::findProc(AudioObjectID device, AudioDeviceIOProcID proc, Proc** found) {
    auto entry = procs_.find(procKey(proc));
    if (entry == procs_.end() || entry->second.device != device) return audio::kIllegalOperationError;
    *found = &entry->second;
    return 0;
}

OSStatus RuntimeObjects::createIOProc(AudioDeviceIOProcID* outProc, AudioObjectID device, kit::SerialQueue* queue,
                                      audio::DeviceIOBlock block) {
    if (!outProc || !block) return audio::kInvalidParameterError;
    std::lock_guard lock(mutex_);
    if (!hostsProcs(device)) return host_.refusesProcs(device);
    auto handle = reinterpret_cast<AudioDeviceIOProcID>(kProcHandleBase + nextProc_++);
    Proc proc;
    proc.device = device;
    proc.queue = queue;
    proc.block = std::move(block);
    procs_.emplace(procKey(handle), std::move(proc));
    *outProc = handle;
    return 0;
}

OSStatus RuntimeObjects::startDevice(AudioObjectID device, AudioDeviceIOProcID proc, std::string* note) {
    std::string said;
    std::shared_ptr<Run> run;
    {
        std::lock_guard lock(mutex_);
        if (!hostsProcs(device)) return audio::kBadObjectError;
        if (!proc) {
            if (note) *note = "no proc";  // the hardware alone: nothing to call
            return 0;
        }
        Proc* p = nullptr;
        if (OSStatus refused = findProc(device, proc, &p)) return refused;
        if (p->run || p->silentlyRunning) {
            if (note) *note = "already running";
            return 0;
        }
        auto aggregate = aggregates_.find(device);
        OSStatus status = host_.prepareProc(device, aggregate == aggregates_.end() ? nullptr : &aggregate->second,
                                            p->queue, p->block, &run, &said);
        if (status != 0) return status;
        if (!run) p->silentlyRunning = true;
    }
    if (note) *note = said;
    if (!run) return 0;
    return openAndTake(
        mutex_, stopped_, std::move(run),
        [this, proc]() -> Proc* {
            auto found = procs_.find(procKey(proc));
            return found == procs_.end() ? nullptr : &found->second;
        },
        audio::kIllegalOperationError, note);
}

OSStatus RuntimeObjects::stopDevice(AudioObjectID device, AudioDeviceIOProcID proc) {
    std::shared_ptr<Run> run;
    {
        std::lock_guard lock(mutex_);
        if (!hostsProcs(device)) return audio::kBadObjectError;
        if (!proc) return 0;  // the hardware alone: nothing runs without a proc
        Proc* p = nullptr;
        if (OSStatus refused = findProc(device, proc, &p)) return refused;
        run = std::move(p->run);
        p->silentlyRunning = false;
    }
    // Outside the lock: the IO block we may be waiting for can call into us.
    stopped_.retire(std::move(run));
    return 0;
}

OSStatus RuntimeObjects::destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc) {
    std::shared_ptr<Run> run;
    {
        std::lock_guard lock(mutex_);
        if (!hostsProcs(device)) return audio::kBadObjectError;
        Proc* p = nullptr;
        if (OSStatus refused = findProc(device, proc, &p)) return refused;
        run = std::move(p->run);
        procs_.erase(procKey(proc));
    }
    stopped_.retire(std::move(run));
    return 0;
}

Runs RuntimeObjects::stopAll() {
    return stopped_.joinAll(takeRuns(mutex_, procs_, [](auto& entry) -> Proc& { return entry.second; }));
}

bool RuntimeObjects::isTap(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    return taps_.count(id) > 0;
}

std::optional<Aggregate> RuntimeObjects::aggregate(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    auto found = aggregates_.find(id);
    if (found == aggregates_.end()) return std::nullopt;
    return found->second;
}

bool RuntimeObjects::setAggregateBufferFrames(AudioObjectID id, UInt32 frames) {
    std::lock_guard lock(mutex_);
    auto found = aggregates_.find(id);
    if (found == aggregates_.end()) return false;
    found->second.bufferFrames = frames;
    return true;
}

std::vector<AudioObjectID> RuntimeObjects::listedAggregates() const {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectID> ids;
    for (const auto& [id, a] : aggregates_) {
        if (!a.isPrivate) ids.push_back(id);
    }
    return ids;
}

std::vector<AudioObjectID> RuntimeObjects::hardwareRunningIO() const {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectID> devices;
    for (const auto& [key, proc] : procs_) {
        if (!proc.run) continue;
        auto aggregate = aggregates_.find(proc.device);
        devices.push_back(aggregate == aggregates_.end() ? proc.device : aggregate->second.main);
    }
    return devices;
}

}  // namespace tarnwick::model
