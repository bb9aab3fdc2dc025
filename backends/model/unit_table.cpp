// Audio unit instances: creation, settings, start and stop, renders and
// disposal, whatever runs them.

#include "backends/model/unit_table.h"

#include "backends/model/status_codes.h"
#include "backends/model/unit_handles.h"

namespace tarnwick::model {

namespace {

thread_local RunningUnit* currentRun = nullptr;

}  // namespace

RunningUnit* RunningUnit::current() noexcept { return currentRun; }

RunningUnit::InCallback::InCallback(RunningUnit* run) noexcept { currentRun = run; }

RunningUnit::InCallback::~InCallback() { currentRun = nullptr; }

OSStatus RunningUnit::renderElsewhere(const AudioTimeStamp*, UInt32, UInt32, AudioBufferList*) noexcept {
    return kUnitErrCannotDoInCurrentContext;
}

UnitTable::Unit* UnitTable::find(AudioUnit unit) {
    auto found = units_.find(reinterpret_cast<std::uintptr_t>(unit));
    return found == units_.end() ? nullptr : found->second.get();
}

AudioComponent UnitTable::findNext(AudioComponent previous, const AudioComponentDescription* d) {
    // Asking for the next after the one component finds none.
    bool matches = !previous && d && (d->componentType == 0 || d->componentType == audio::kUnitTypeOutput) &&
                   (d->componentSubType == 0 || d->componentSubType == audio::kUnitSubTypeHALOutput) &&
                   (d->componentManufacturer == 0 || d->componentManufacturer == audio::kUnitManufacturerApple);
    return matches ? componentHandle() : nullptr;
}

OSStatus UnitTable::instanceNew(AudioComponent component, AudioComponentInstance* outInstance) {
    if (!outInstance || component != componentHandle()) return audio::kInvalidParameterError;
    std::lock_guard lock(mutex_);
    AudioUnit handle = unitHandle(nextNumber_++);
    units_.emplace(reinterpret_cast<std::uintptr_t>(handle), std::make_unique<Unit>());
    *outInstance = handle;
    return 0;
}

OSStatus UnitTable::dispose(AudioUnit unit) {
    std::unique_ptr<Unit> owned;
    {
        std::lock_guard lock(mutex_);
        auto found = units_.find(reinterpret_cast<std::uintptr_t>(unit));
        if (found == units_.end()) return kBadComponentInstance;
        owned = std::move(found->second);
        units_.erase(found);
    }
    stopped_.retire(std::move(owned->run));
    return 0;
}

OSStatus UnitTable::setProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                AudioUnitElement element, const void* data, UInt32 size) {
    std::lock_guard lock(mutex_);
    Unit* u = find(unit);
    if (!u) return kBadComponentInstance;
    // A run reads its settings without a lock.
    if (u->run || u->silentlyRunning) return kUnitErrCannotDoInCurrentContext;
    if (!data) return audio::kInvalidParameterError;
    return applyUnitProperty(u->config, devices_, id, scope, element, data, size);
}

OSStatus UnitTable::getProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                AudioUnitElement element, void* data, UInt32* ioSize) {
    std::lock_guard lock(mutex_);
    Unit* u = find(unit);
    if (!u) return kBadComponentInstance;
    if (!data || !ioSize) return audio::kInvalidParameterError;
    return readUnitProperty(u->config, devices_, id, scope, element, data, ioSize);
}

OSStatus UnitTable::initialize(AudioUnit unit) {
    std::lock_guard lock(mutex_);
    Unit* u = find(unit);
    if (!u) return kBadComponentInstance;
    u->config.initialized = true;
    return 0;
}

OSStatus UnitTable::uninitialize(AudioUnit unit) { return halt(unit, true); }

OSStatus UnitTable::stop(AudioUnit unit) { return halt(unit, false); }

OSStatus UnitTable::halt(AudioUnit unit, bool uninitialize) {
    std::shared_ptr<RunningUnit> run;
    {
        std::lock_guard lock(mutex_);
        Unit* u = find(unit);
        if (!u) return kBadComponentInstance;
        if (uninitialize) u->config.initialized = false;
        run = std::move(u->run);
        u->silentlyRunning = false;
    }
    // Outside the lock: the callback we may be waiting for can call into us.
    stopped_.retire(std::move(run));
    return 0;
}

OSStatus UnitTable::start(AudioUnit unit, std::string* note) {
    std::string said;
    std::shared_ptr<RunningUnit> run;
    {
        std::lock_guard lock(mutex_);
        Unit* u = find(unit);
        if (!u) return kBadComponentInstance;
        if (!u->config.initialized) return kUnitErrUninitialized;
        if (u->run || u->silentlyRunning) {
            if (note) *note = "already running";
            return 0;
        }
        const AudioObjectID device = devices_.bound(u->config);
        if (!device) return kUnitErrNoConnection;
        OSStatus status = starter_.prepare(unit, u->config, device, &run, &said);
        if (status != 0) return status;
        if (!run) u->silentlyRunning = true;
    }
    if (note) *note = said;
    if (!run) return 0;
    return openAndTake(mutex_, stopped_, std::move(run), [this, unit] { return find(unit); }, kBadComponentInstance,
                       note);
}

OSStatus UnitTable::render(AudioUnit unit, const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                           AudioBufferList* ioData) noexcept {
    // The unit's own callback: no lookup, no lock.
    RunningUnit* current = RunningUnit::current();
    if (current && current->handle() == unit) return current->render(timeStamp, bus, frames, ioData);
    std::lock_guard lock(mutex_);
    Unit* u = find(unit);
    if (!u) return kBadComponentInstance;
    if (!u->run) return kUnitErrCannotDoInCurrentContext;
    return u->run->renderElsewhere(timeStamp, bus, frames, ioData);
}

bool UnitTable::runsIO(bool input) {
    std::lock_guard lock(mutex_);
    for (const auto& [handle, unit] : units_) {
        if (unit->run && (input ? unit->config.inputEnabled : unit->config.outputEnabled)) return true;
    }
    return false;
}

Runs UnitTable::stopAll() {
    return stopped_.joinAll(takeRuns(mutex_, units_, [](auto& entry) -> Unit& { return *entry.second; }));
}

}  // namespace tarnwick::model
