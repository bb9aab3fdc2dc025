// Audio unit instances as the scenario answers them: the fault injection and
// trace around the shared unit table (the settings' trace is in
// unit_properties.cpp, the IO in unit_io.cpp).

#include "backends/sim/unit_host.h"

#include "backends/sim/layer_names.h"
#include "backends/sim/model_names.h"

namespace tarnwick::sim {

std::optional<OSStatus> UnitHost::fault(Call call, const char* name, AudioUnit unit) {
    auto hit = ctx_.faults->check(call);
    if (!hit) return std::nullopt;
    ctx_.trace->call(name, unitName(unit), hit->status, "fault");
    return hit->status;
}

OSStatus UnitHost::traced(Call call, const char* name, AudioUnit unit,
                          OSStatus (model::UnitTable::*operation)(AudioUnit)) {
    if (auto status = fault(call, name, unit)) return *status;
    OSStatus status = (table_.*operation)(unit);
    ctx_.trace->call(name, unitName(unit), status, "");
    return status;
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
    AudioComponent found = model::UnitTable::findNext(previous, d);
    ctx_.trace->call("AudioComponentFindNext", args, 0, found ? "component#1" : "none");
    return found;
}

OSStatus UnitHost::instanceNew(AudioComponent c, AudioComponentInstance* outInstance) {
    std::string args = c == componentHandle() ? "component#1" : "component?";
    if (auto hit = ctx_.faults->check(Call::AudioComponentInstanceNew)) {
        if (hit->nullResult && outInstance) *outInstance = nullptr;
        ctx_.trace->call("AudioComponentInstanceNew", args, hit->status, hit->nullResult ? "none fault" : "fault");
        return hit->status;
    }
    OSStatus status = table_.instanceNew(c, outInstance);
    ctx_.trace->call("AudioComponentInstanceNew", args, status, status == 0 ? unitName(*outInstance) : "");
    return status;
}

OSStatus UnitHost::dispose(AudioUnit unit) {
    return traced(Call::AudioComponentInstanceDispose, "AudioComponentInstanceDispose", unit,
                  &model::UnitTable::dispose);
}

OSStatus UnitHost::initialize(AudioUnit unit) {
    return traced(Call::AudioUnitInitialize, "AudioUnitInitialize", unit, &model::UnitTable::initialize);
}

OSStatus UnitHost::uninitialize(AudioUnit unit) {
    return traced(Call::AudioUnitUninitialize, "AudioUnitUninitialize", unit, &model::UnitTable::uninitialize);
}

OSStatus UnitHost::stop(AudioUnit unit) {
    return traced(Call::AudioOutputUnitStop, "AudioOutputUnitStop", unit, &model::UnitTable::stop);
}

OSStatus UnitHost::start(AudioUnit unit) {
    if (auto status = fault(Call::AudioOutputUnitStart, "AudioOutputUnitStart", unit)) return *status;
    std::string note;
    OSStatus status = table_.start(unit, &note);
    ctx_.trace->call("AudioOutputUnitStart", unitName(unit), status, note);
    return status;
}

OSStatus UnitHost::prepare(AudioUnit unit, const UnitConfig& config, AudioObjectID id,
                           std::shared_ptr<model::RunningUnit>* run, std::string* note) {
    DeviceState* device = ctx_.devices.byId(id);
    if (!device) return kUnitErrNoConnection;
    if (device->setup().unit.silentStarts.silences(++device->unitStarts)) {
        *note = "silent";
        return 0;
    }
    *run = std::make_shared<UnitRun>(unit, config, *device);
    *note = "device=" + std::to_string(device->id());
    return 0;
}

void UnitHost::stopAll() {
    // Runs stopped from inside their own callback are joined when the system closes.
    ctx_.retired.addAll(table_.stopAll());
}

OSStatus UnitHost::render(AudioUnit unit, AudioUnitRenderActionFlags*, const AudioTimeStamp* timeStamp, UInt32 bus,
                          UInt32 frames, AudioBufferList* ioData) {
    OSStatus status;
    const char* note = "";
    if (auto hit = ctx_.faults->check(Call::AudioUnitRender)) {
        status = hit->status;
        note = " fault";
    } else {
        status = table_.render(unit, timeStamp, bus, frames, ioData);
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
