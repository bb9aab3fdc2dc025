// Process taps and aggregate devices: creation, destruction, and what their
// properties report.

#include "backends/sim/hardware_objects.h"

#include "backends/sim/layer_names.h"

namespace tarnwick::sim {

AudioObjectID HardwareObjects::newObjectID() {
    // Skip IDs the scenario gave its devices and processes: run-time objects
    // never share one.
    while (ctx_.devices.byId(nextID_) || ctx_.processes.names(nextID_)) ++nextID_;
    return nextID_++;
}

AudioObjectID HardwareObjects::mainDevice(const std::string& uid) {
    const DeviceState* device = ctx_.devices.byUid(uid);
    return device ? device->id() : 0;
}

OSStatus HardwareObjects::createTap(const audio::TapDescription& description, AudioObjectID* outTapID) {
    const char* name = "AudioHardwareCreateProcessTap";
    std::string args = jsonLine(description.toJson());
    if (auto status = fault(Call::AudioHardwareCreateProcessTap, name, args, outTapID)) return *status;
    OSStatus status = table_.createTap(description, outTapID);
    ctx_.trace->call(name, args, status, status == 0 ? "id=" + std::to_string(*outTapID) : "");
    return status;
}

OSStatus HardwareObjects::destroyTap(AudioObjectID tap) {
    return traced(Call::AudioHardwareDestroyProcessTap, "AudioHardwareDestroyProcessTap", std::to_string(tap),
                  [&] { return table_.destroyTap(tap); });
}

OSStatus HardwareObjects::createAggregate(const nlohmann::json& description, AudioObjectID* outDeviceID) {
    const char* name = "AudioHardwareCreateAggregateDevice";
    std::string args = jsonLine(description);
    if (auto status = fault(Call::AudioHardwareCreateAggregateDevice, name, args, outDeviceID)) return *status;
    std::string note;
    OSStatus status = table_.createAggregate(description, outDeviceID, &note);
    ctx_.trace->call(name, args, status, status == 0 ? "id=" + std::to_string(*outDeviceID) : note);
    return status;
}

OSStatus HardwareObjects::destroyAggregate(AudioObjectID device) {
    return traced(Call::AudioHardwareDestroyAggregateDevice, "AudioHardwareDestroyAggregateDevice",
                  std::to_string(device), [&] { return table_.destroyAggregate(device); });
}

std::vector<UInt32> HardwareObjects::tapInputBuffers() const {
    const TapSpec& tap = ctx_.scenario.tap;
    if (tap.planar) return std::vector<UInt32>(tap.delivered(), 1);
    return {tap.delivered()};
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
    auto found = table_.aggregate(id);
    if (!found) return std::nullopt;
    return AggregateInfo{found->uid,          found->name,
                         ctx_.devices.byId(found->main), found->bufferFrames,
                         found->hasTap ? tapInputBuffers() : std::vector<UInt32>{}, found->isPrivate};
}

}  // namespace tarnwick::sim
