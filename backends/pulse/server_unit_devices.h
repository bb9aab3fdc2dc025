#pragma once
// The server's devices as the shared unit properties see them. The unit
// never converts recorded audio: a client format must have the source's own
// rate and channel count.

#include <algorithm>
#include <optional>

#include "backends/model/stream_formats.h"
#include "backends/model/unit_config.h"
#include "backends/pulse/server_devices.h"

namespace tarnwick::pulse {

inline bool isFloat32(const AudioStreamBasicDescription& f) {
    return f.mFormatID == audio::kFormatLinearPCM && (f.mFormatFlags & audio::kFormatFlagIsFloat) != 0 &&
           f.mBitsPerChannel == 32 && f.mChannelsPerFrame >= 1 && f.mChannelsPerFrame <= PA_CHANNELS_MAX &&
           f.mSampleRate > 0 && f.mSampleRate <= PA_RATE_MAX;
}

class ServerUnitDevices final : public model::UnitDevices {
public:
    explicit ServerUnitDevices(const ServerDevices& devices) : devices_(devices) {}

    bool exists(AudioObjectID device) const override { return devices_.byId(device).has_value(); }
    AudioObjectID bound(const model::UnitConfig& config) const override {
        if (config.device) return exists(*config.device) ? *config.device : 0;
        return config.inputEnabled ? devices_.defaultInput() : devices_.defaultOutput();
    }
    AudioStreamBasicDescription inputFormat(AudioObjectID id) const override {
        const ServerDevice device = deviceOf(id);
        return model::floatFormat(device.rate, device.isSink ? 0 : device.channels, false);
    }
    AudioStreamBasicDescription outputFormat(AudioObjectID id) const override {
        const ServerDevice device = deviceOf(id);
        return model::floatFormat(device.rate, device.isSink ? device.channels : 0, false);
    }
    AudioStreamBasicDescription renderFormat(AudioObjectID id) const override {
        const ServerDevice device = deviceOf(id);
        return model::floatFormat(device.rate, std::max<UInt32>(1, device.channels), true);
    }
    OSStatus acceptsClientFormat(AudioObjectID id, const AudioStreamBasicDescription& format) const override {
        if (!isFloat32(format)) return audio::kFormatNotSupported;
        std::optional<ServerDevice> device = devices_.byId(id);
        if (device && (format.mSampleRate != device->rate || format.mChannelsPerFrame != device->channels)) {
            return audio::kFormatNotSupported;
        }
        return 0;
    }
    OSStatus acceptsRenderFormat(AudioObjectID, const AudioStreamBasicDescription& format) const override {
        return isFloat32(format) ? 0 : audio::kFormatNotSupported;
    }

private:
    // A device that went between bound() and this read reads as nothing.
    ServerDevice deviceOf(AudioObjectID id) const { return devices_.byId(id).value_or(ServerDevice{}); }

    const ServerDevices& devices_;
};

}  // namespace tarnwick::pulse
