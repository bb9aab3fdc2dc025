#include "backends/pulse/pulse_system.h"

#include <cerrno>

#include "backends/soxr/soxr_converter.h"
#include "frame/lifecycle.h"

namespace tarnwick::pulse {

namespace {
// Bounds every wait for the server while opening: an absent server answers
// at once, one that accepts but never answers is given up on.
constexpr double kOpenSeconds = 5.0;
}  // namespace

PulseAudioSystem::PulseAudioSystem(const std::string& clientName) {
    // A capture cannot outlive its server: the engines stop in order, with a
    // line that says why, and the parent starts a fresh child later.
    connection_ = std::make_unique<Connection>(clientName, kOpenSeconds, [](const std::string& error) {
        requestShutdown("sound server connection lost: " + error + " — parent will restart capture");
    });
    devices_ = std::make_unique<ServerDevices>(*connection_, listeners_, nextID_);
    processes_ = std::make_unique<ServerProcesses>(*connection_, *devices_, listeners_, nextID_);
    devices_->setProcesses(processes_.get());
    units_ = std::make_unique<Units>(*connection_, *devices_);
    io_ = std::make_unique<DeviceIO>(*connection_, *devices_, nextID_);
    std::string failure;
    {
        Connection::Lock lock(*connection_);
        failure = devices_->load(kOpenSeconds);
        if (failure.empty() && !processes_->load(kOpenSeconds)) {
            failure = "cannot read the sound server's devices: " + connection_->lastError();
        }
    }
    if (!failure.empty()) {
        // Replies still on their way must find no callback to run: the
        // tables they would reach go with this object.
        connection_->stopEvents();
        throw ConnectError(failure);
    }
}

PulseAudioSystem::~PulseAudioSystem() {
    io_->stopAll();
    units_->stopAll();
    // From here no callback runs, whatever was still in flight, so the
    // tables can go before the connection.
    connection_->stopEvents();
    io_.reset();
    units_.reset();
    processes_.reset();
    devices_.reset();
    connection_.reset();
}

OSStatus PulseAudioSystem::AudioHardwareCreateProcessTap(const audio::TapDescription& inDescription,
                                                         AudioObjectID* outTapID) {
    return io_->table().createTap(inDescription, outTapID);
}

OSStatus PulseAudioSystem::AudioHardwareDestroyProcessTap(AudioObjectID inTapID) {
    return io_->table().destroyTap(inTapID);
}

OSStatus PulseAudioSystem::AudioHardwareCreateAggregateDevice(const nlohmann::json& inDescription,
                                                              AudioObjectID* outDeviceID) {
    return io_->table().createAggregate(inDescription, outDeviceID);
}

OSStatus PulseAudioSystem::AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID) {
    return io_->table().destroyAggregate(inDeviceID);
}

OSStatus PulseAudioSystem::AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID inDevice,
                                                              kit::SerialQueue* inDispatchQueue,
                                                              audio::DeviceIOBlock inIOBlock) {
    return io_->table().createIOProc(outIOProcID, inDevice, inDispatchQueue, std::move(inIOBlock));
}

OSStatus PulseAudioSystem::AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
    return io_->table().startDevice(inDevice, inProcID);
}

OSStatus PulseAudioSystem::AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
    return io_->table().stopDevice(inDevice, inProcID);
}

OSStatus PulseAudioSystem::AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID) {
    return io_->table().destroyIOProc(inDevice, inIOProcID);
}

AudioComponent PulseAudioSystem::AudioComponentFindNext(AudioComponent inComponent,
                                                        const AudioComponentDescription* inDesc) {
    return units_->table().findNext(inComponent, inDesc);
}

OSStatus PulseAudioSystem::AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance) {
    return units_->table().instanceNew(inComponent, outInstance);
}

OSStatus PulseAudioSystem::AudioComponentInstanceDispose(AudioComponentInstance inInstance) {
    return units_->table().dispose(inInstance);
}

OSStatus PulseAudioSystem::AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                                AudioUnitElement inElement, const void* inData, UInt32 inDataSize) {
    return units_->table().setProperty(inUnit, inID, inScope, inElement, inData, inDataSize);
}

OSStatus PulseAudioSystem::AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                                AudioUnitElement inElement, void* outData, UInt32* ioDataSize) {
    return units_->table().getProperty(inUnit, inID, inScope, inElement, outData, ioDataSize);
}

OSStatus PulseAudioSystem::AudioUnitInitialize(AudioUnit inUnit) { return units_->table().initialize(inUnit); }

OSStatus PulseAudioSystem::AudioUnitUninitialize(AudioUnit inUnit) { return units_->table().uninitialize(inUnit); }

OSStatus PulseAudioSystem::AudioOutputUnitStart(AudioUnit ci) { return units_->table().start(ci); }

OSStatus PulseAudioSystem::AudioOutputUnitStop(AudioUnit ci) { return units_->table().stop(ci); }

OSStatus PulseAudioSystem::AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags*,
                                           const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber,
                                           UInt32 inNumberFrames, AudioBufferList* ioData) {
    return units_->table().render(inUnit, inTimeStamp, inOutputBusNumber, inNumberFrames, ioData);
}

std::optional<std::string> PulseAudioSystem::stringValue(audio::StringRef ref) {
    auto found = strings_.lookup(ref);
    if (!found) return std::nullopt;
    return std::move(found->first);
}

void PulseAudioSystem::releaseString(audio::StringRef ref) { strings_.release(ref); }

std::unique_ptr<audio::SampleRateConverter> PulseAudioSystem::makeConverter(double inRate, double outRate) {
    return audio::makeSoxrConverter(inRate, outRate);
}

std::shared_ptr<audio::AudioSystem> openPulse() {
    return std::make_shared<PulseAudioSystem>(program_invocation_short_name);
}

}  // namespace tarnwick::pulse

#include "backends/libpulse_tsan_suppressions.h"
