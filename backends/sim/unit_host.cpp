// Audio unit instances: creation, initialization, start and stop, renders
// and disposal (their settings are in unit_properties.cpp, their IO in
// unit_io.cpp).

#include "backends/sim/unit_host.h"

#include "backends/sim/layer_names.h"
#include "backends/sim/model_names.h"
#include "backends/sim/sim_clock.h"

namespace tarnwick::sim {

UnitHost::Unit* UnitHost::find(AudioUnit unit) {
    auto found = units_.find(reinterpret_cast<std::uintptr_t>(unit));
    return found == units_.end() ? nullptr : found->second.get();
}

DeviceState* UnitHost::boundDevice(const UnitConfig& config) const {
    if (config.device) return ctx_.devices.byId(*config.device);
    return ctx_.devices.byId(config.inputEnabled ? ctx_.devices.defaultInput.load() : ctx_.devices.defaultOutput.load());
}

AudioComponent UnitHost::findNext(AudioComponent previous, const AudioComponentDescription* d) {
    std::string args = previous ? "component#1" : "none";
    if (d) {
        // One piece at a time: a chain starting with `" " +` trips GCC 12's -Wrestrict at -O3.
        for (UInt32 code : {d->componentType, d->componentSubType, d->componentManufacturer}) {
            args += ' ';
            args += fourCCText(code);
        }
    }
    if (auto hit = ctx_.faults->check(Call::AudioComponentFindNext)) {
        ctx_.trace->call("AudioComponentFindNext", args, hit->status, "none fault");
        return nullptr;
    }
    // Zero fields match anything, as on the platform; there is exactly one
    // component, so asking for the next after it finds none.
    bool matches = !previous && d && (d->componentType == 0 || d->componentType == audio::kUnitTypeOutput) &&
                   (d->componentSubType == 0 || d->componentSubType == audio::kUnitSubTypeHALOutput) &&
                   (d->componentManufacturer == 0 || d->componentManufacturer == audio::kUnitManufacturerApple);
    ctx_.trace->call("AudioComponentFindNext", args, 0, matches ? "component#1" : "none");
    return matches ? componentHandle() : nullptr;
}

OSStatus UnitHost::instanceNew(AudioComponent c, AudioComponentInstance* outInstance) {
    std::string args = c == componentHandle() ? "component#1" : "component?";
    if (auto hit = ctx_.faults->check(Call::AudioComponentInstanceNew)) {
        if (hit->nullResult && outInstance) *outInstance = nullptr;
        ctx_.trace->call("AudioComponentInstanceNew", args, hit->status, hit->nullResult ? "none fault" : "fault");
        return hit->status;
    }
    if (!outInstance || c != componentHandle()) {
        ctx_.trace->call("AudioComponentInstanceNew", args, audio::kInvalidParameterError, "");
        return audio::kInvalidParameterError;
    }
    AudioUnit handle;
    {
        std::lock_guard lock(mutex_);
        auto unit = std::make_unique<Unit>();
        unit->number = nextNumber_++;
        handle = unitHandle(unit->number);
        units_.emplace(reinterpret_cast<std::uintptr_t>(handle), std::move(unit));
    }
    *outInstance = handle;
    ctx_.trace->call("AudioComponentInstanceNew", args, 0, unitName(handle));
    return 0;
}

OSStatus UnitHost::dispose(AudioUnit unit) {
    if (auto hit = ctx_.faults->check(Call::AudioComponentInstanceDispose)) {
        ctx_.trace->call("AudioComponentInstanceDispose", unitName(unit), hit->status, "fault");
        return hit->status;
    }
    std::unique_ptr<Unit> owned;
    {
        std::lock_guard lock(mutex_);
        auto found = units_.find(reinterpret_cast<std::uintptr_t>(unit));
        if (found != units_.end()) {
            owned = std::move(found->second);
            units_.erase(found);
        }
    }
    OSStatus status = owned ? 0 : kBadComponentInstance;
    if (owned) {
        auto runs = takeRuns(*owned);
        stopAndJoinWhereSafe(runs);
        ctx_.retired.addAll(runs);
    }
    ctx_.trace->call("AudioComponentInstanceDispose", unitName(unit), status, "");
    return status;
}

OSStatus UnitHost::initialize(AudioUnit unit) {
    if (auto hit = ctx_.faults->check(Call::AudioUnitInitialize)) {
        ctx_.trace->call("AudioUnitInitialize", unitName(unit), hit->status, "fault");
        return hit->status;
    }
    OSStatus status = 0;
    {
        std::lock_guard lock(mutex_);
        Unit* u = find(unit);
        if (u) {
            u->config.initialized = true;
        } else {
            status = kBadComponentInstance;
        }
    }
    ctx_.trace->call("AudioUnitInitialize", unitName(unit), status, "");
    return status;
}

OSStatus UnitHost::uninitialize(AudioUnit unit) {
    // An uninitialized unit cannot run: it is stopped first.
    return halt(unit, Call::AudioUnitUninitialize, "AudioUnitUninitialize", true);
}

OSStatus UnitHost::start(AudioUnit unit) {
    if (auto hit = ctx_.faults->check(Call::AudioOutputUnitStart)) {
        ctx_.trace->call("AudioOutputUnitStart", unitName(unit), hit->status, "fault");
        return hit->status;
    }
    OSStatus status = 0;
    std::string result;
    {
        std::lock_guard lock(mutex_);
        Unit* u = find(unit);
        DeviceState* device = u ? boundDevice(u->config) : nullptr;
        if (!u) {
            status = kBadComponentInstance;
        } else if (!u->config.initialized) {
            status = kUnitErrUninitialized;
        } else if (u->run || u->silentlyRunning) {
            result = "already running";
        } else if (!device) {
            status = kUnitErrNoConnection;
        } else if (device->setup().unit.silentStarts.silences(++device->unitStarts)) {
            u->silentlyRunning = true;
            result = "silent";
        } else {
            u->run = std::make_shared<UnitRun>(unit, u->config, *device);
            u->run->start(monoNs());
            result = "device=" + std::to_string(device->id());
        }
    }
    ctx_.trace->call("AudioOutputUnitStart", unitName(unit), status, result);
    return status;
}

OSStatus UnitHost::stop(AudioUnit unit) { return halt(unit, Call::AudioOutputUnitStop, "AudioOutputUnitStop", false); }

OSStatus UnitHost::halt(AudioUnit unit, Call call, const char* name, bool uninitialize) {
    if (auto hit = ctx_.faults->check(call)) {
        ctx_.trace->call(name, unitName(unit), hit->status, "fault");
        return hit->status;
    }
    OSStatus status = 0;
    std::vector<std::shared_ptr<UnitRun>> runs;
    {
        std::lock_guard lock(mutex_);
        Unit* u = find(unit);
        if (u) {
            runs = takeRuns(*u);
            if (uninitialize) u->config.initialized = false;
        } else {
            status = kBadComponentInstance;
        }
    }
    // Outside the lock: the callback we may be waiting for can call into us.
    stopRuns(unit, std::move(runs));
    ctx_.trace->call(name, unitName(unit), status, "");
    return status;
}

std::vector<std::shared_ptr<UnitRun>> UnitHost::takeRuns(Unit& unit) {
    std::vector<std::shared_ptr<UnitRun>> runs = std::move(unit.retired);
    unit.retired.clear();
    if (unit.run) runs.push_back(std::move(unit.run));
    unit.silentlyRunning = false;
    return runs;
}

void UnitHost::stopRuns(AudioUnit unit, std::vector<std::shared_ptr<UnitRun>> runs) {
    stopAndJoinWhereSafe(runs);
    if (runs.empty()) return;
    std::lock_guard lock(mutex_);
    if (Unit* u = find(unit)) {
        for (auto& run : runs) u->retired.push_back(std::move(run));
    } else {
        ctx_.retired.addAll(runs);
    }
}

void UnitHost::stopAll() {
    std::vector<std::shared_ptr<UnitRun>> runs;
    {
        std::lock_guard lock(mutex_);
        for (auto& [handle, unit] : units_) {
            for (auto& run : takeRuns(*unit)) runs.push_back(std::move(run));
        }
    }
    stopAndJoinWhereSafe(runs);
    ctx_.retired.addAll(runs);
}

bool UnitHost::runsIO(bool input) {
    std::lock_guard lock(mutex_);
    for (const auto& [handle, unit] : units_) {
        if (unit->run && (input ? unit->config.inputEnabled : unit->config.outputEnabled)) return true;
    }
    return false;
}

OSStatus UnitHost::render(AudioUnit unit, AudioUnitRenderActionFlags*, const AudioTimeStamp* timeStamp, UInt32 bus,
                          UInt32 frames, AudioBufferList* ioData) {
    OSStatus status;
    const char* note = "";
    if (auto hit = ctx_.faults->check(Call::AudioUnitRender)) {
        status = hit->status;
        note = " fault";
    } else if (UnitRun* run = UnitRun::current(); run && run->handle() == unit) {
        // The unit's own callback: no lookup, no lock.
        status = run->render(timeStamp, bus, frames, ioData);
    } else {
        std::lock_guard lock(mutex_);
        Unit* u = find(unit);
        if (!u) {
            status = kBadComponentInstance;
        } else if (!u->run) {
            status = kUnitErrCannotDoInCurrentContext;
        } else {
            status = u->run->render(timeStamp, bus, frames, ioData);
        }
    }
    if (ctx_.trace->enabled()) {
        double sample = timeStamp ? timeStamp->mSampleTime : -1;
        ctx_.trace->linef("AudioUnitRender unit#%llu bus=%u frames=%u sample=%.0f -> %d%s", unitNumber(unit),
                          static_cast<unsigned>(bus), static_cast<unsigned>(frames), sample, static_cast<int>(status),
                          note);
    }
    return status;
}

}  // namespace tarnwick::sim
