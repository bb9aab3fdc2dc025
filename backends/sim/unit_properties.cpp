// Audio unit properties: the trace and fault injection around them, and the
// scenario's devices behind them; what they accept and report is the
// emulated model's (backends/model/unit_config.h).

#include "backends/sim/layer_names.h"
#include "backends/sim/model_names.h"
#include "backends/sim/unit_host.h"

namespace tarnwick::sim {

namespace {

bool isUsableFloatFormat(const AudioStreamBasicDescription& f) {
    return f.mFormatID == audio::kFormatLinearPCM && (f.mFormatFlags & audio::kFormatFlagIsFloat) != 0 &&
           f.mBitsPerChannel == 32 && f.mChannelsPerFrame >= 1 && f.mChannelsPerFrame <= kMaxChannels &&
           f.mSampleRate >= 0;
}

std::string propertyArgs(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element) {
    return unitName(unit) + " prop=" + std::to_string(id) + " scope=" + unitScopeText(scope) +
           " element=" + std::to_string(element);
}

}  // namespace

AudioObjectID ScenarioUnitDevices::bound(const UnitConfig& config) const {
    const DeviceState* device = devices_.byId(
        config.device ? *config.device
                      : (config.inputEnabled ? devices_.defaultInput.load() : devices_.defaultOutput.load()));
    return device ? device->id() : 0;
}

AudioStreamBasicDescription ScenarioUnitDevices::inputFormat(AudioObjectID device) const {
    return deviceInputFormat(*devices_.byId(device));
}

AudioStreamBasicDescription ScenarioUnitDevices::outputFormat(AudioObjectID device) const {
    return deviceOutputFormat(*devices_.byId(device));
}

AudioStreamBasicDescription ScenarioUnitDevices::renderFormat(AudioObjectID device) const {
    return defaultRenderFormat(*devices_.byId(device));
}

OSStatus ScenarioUnitDevices::acceptsClientFormat(AudioObjectID device,
                                                  const AudioStreamBasicDescription& format) const {
    if (!isUsableFloatFormat(format)) return audio::kFormatNotSupported;
    const DeviceState* bound = devices_.byId(device);
    const UnitSpec* rules = bound ? &bound->setup().unit : nullptr;
    if (rules && (isPlanar(format) ? rules->rejectsNonInterleaved : rules->rejectsInterleaved)) {
        return audio::kFormatNotSupported;
    }
    return 0;
}

OSStatus ScenarioUnitDevices::acceptsRenderFormat(AudioObjectID device,
                                                  const AudioStreamBasicDescription& format) const {
    if (!isUsableFloatFormat(format)) return audio::kFormatNotSupported;
    const DeviceState* bound = devices_.byId(device);
    if (bound && bound->setup().unit.rejectsStreamFormat) return audio::kFormatNotSupported;
    return 0;
}

OSStatus UnitHost::setProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                               const void* data, UInt32 size) {
    std::string args = propertyArgs(unit, id, scope, element);
    if (auto hit = ctx_.faults->check(Call::AudioUnitSetProperty, id, FaultTable::unitScope(scope))) {
        ctx_.trace->call("AudioUnitSetProperty", args, hit->status, "fault");
        return hit->status;
    }
    OSStatus status = table_.setProperty(unit, id, scope, element, data, size);
    // The value is traced once the table looked at it: the unit exists and
    // does not run (the model's rules never answer with these two statuses).
    const bool looked = data && status != kBadComponentInstance && status != kUnitErrCannotDoInCurrentContext;
    std::string valueText = looked ? unitValueText(id, data, size) : std::string();
    ctx_.trace->call("AudioUnitSetProperty", valueText.empty() ? args : args + " value=" + valueText, status, "");
    return status;
}

OSStatus UnitHost::getProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                               void* data, UInt32* ioSize) {
    std::string args = propertyArgs(unit, id, scope, element);
    if (auto hit = ctx_.faults->check(Call::AudioUnitGetProperty, id, FaultTable::unitScope(scope))) {
        ctx_.trace->call("AudioUnitGetProperty", args, hit->status, "fault");
        return hit->status;
    }
    OSStatus status = table_.getProperty(unit, id, scope, element, data, ioSize);
    ctx_.trace->call("AudioUnitGetProperty", args, status, status == 0 ? unitValueText(id, data, *ioSize) : "");
    return status;
}

}  // namespace tarnwick::sim
