#include "tests/mic/fake_audio_system.h"

#include <algorithm>
#include <cstring>

#if defined(__APPLE__)
#include "backends/coreaudio/audio_converter.h"
#else
#include "backends/soxr/soxr_converter.h"
#endif

namespace tarnwick::testing::mic {

using namespace tarnwick::audio;

namespace {
constexpr AudioObjectID deviceID = 100;
const std::string uidText = "fake-mic";
const std::string nameText = "Fake Mic";
int componentTag, unitTag;

template <typename T>
OSStatus put(const T& value, UInt32* ioDataSize, void* outData) {
    if (*ioDataSize < sizeof(T)) return kBadPropertySizeError;
    std::memcpy(outData, &value, sizeof(T));
    *ioDataSize = sizeof(T);
    return 0;
}
}  // namespace

void FakeAudioSystem::note(const std::string& call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(call);
}

std::vector<std::string> FakeAudioSystem::calls() {
    std::lock_guard lock(mutex_);
    return calls_;
}

int FakeAudioSystem::renders() {
    std::lock_guard lock(mutex_);
    return renders_;
}

bool FakeAudioSystem::renderSizesRight() {
    std::lock_guard lock(mutex_);
    return renderSizesRight_;
}

OSStatus FakeAudioSystem::deliver(UInt32 frames) {
    AudioTimeStamp stamp{};
    AudioUnitRenderActionFlags flags = 0;
    AURenderCallbackStruct callback;
    {
        std::lock_guard lock(mutex_);
        callback = callback_;
        stamp.mSampleTime = double(frameIndex_);
    }
    if (callback.inputProc == nullptr) return -1;
    return callback.inputProc(callback.inputProcRefCon, &flags, &stamp, 1, frames, nullptr);
}

OSStatus FakeAudioSystem::AudioObjectGetPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                                         UInt32, const void*, UInt32* outDataSize) {
    if (object == kSystemObject && address->mSelector == kPropDevices) {
        *outDataSize = 4;
        return 0;
    }
    if (object == deviceID && address->mSelector == kPropStreamConfiguration) {
        *outDataSize = sizeof(AudioBufferList);
        return 0;
    }
    return kUnknownPropertyError;
}

OSStatus FakeAudioSystem::AudioObjectGetPropertyData(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                                     UInt32, const void*, UInt32* ioDataSize, void* outData) {
    switch (address->mSelector) {
        case kPropDevices:
        case kPropDefaultInputDevice:
            return object == kSystemObject ? put(deviceID, ioDataSize, outData) : kUnknownPropertyError;
        case kPropStreamConfiguration: {
            AudioBufferList list{1, {{channels, 0, nullptr}}};
            return put(list, ioDataSize, outData);
        }
        case kPropDeviceUID:
            return put(static_cast<StringRef>(&uidText), ioDataSize, outData);
        case kPropName:
            return put(static_cast<StringRef>(&nameText), ioDataSize, outData);
        case kPropNominalSampleRate:
            return put(rate, ioDataSize, outData);
        case kPropBufferFrameSize:
            return put(UInt32(512), ioDataSize, outData);
        default:
            return kUnknownPropertyError;
    }
}

OSStatus FakeAudioSystem::AudioObjectAddPropertyListenerBlock(AudioObjectID object,
                                                              const AudioObjectPropertyAddress* address,
                                                              kit::SerialQueue* queue, PropertyListenerBlock block) {
    note(address->mSelector == kPropDefaultInputDevice ? "listen dIn " : "listen nsrt");
    std::lock_guard lock(mutex_);
    registrations_.push_back(Registration{object, address->mSelector, queue, std::move(block)});
    return 0;
}

// Only the registration's own block (a copy of it) ends it.
OSStatus FakeAudioSystem::AudioObjectRemovePropertyListenerBlock(AudioObjectID object,
                                                                 const AudioObjectPropertyAddress* address,
                                                                 kit::SerialQueue* queue, PropertyListenerBlock block) {
    note(address->mSelector == kPropDefaultInputDevice ? "unlisten dIn " : "unlisten nsrt");
    std::lock_guard lock(mutex_);
    auto found = std::find_if(registrations_.begin(), registrations_.end(), [&](const Registration& r) {
        return r.object == object && r.selector == address->mSelector && r.queue == queue && r.block == block;
    });
    if (found == registrations_.end()) return kIllegalOperationError;
    registrations_.erase(found);
    return 0;
}

std::size_t FakeAudioSystem::registrations() {
    std::lock_guard lock(mutex_);
    return registrations_.size();
}

AudioComponent FakeAudioSystem::AudioComponentFindNext(AudioComponent, const AudioComponentDescription*) {
    return reinterpret_cast<AudioComponent>(&componentTag);
}

OSStatus FakeAudioSystem::AudioComponentInstanceNew(AudioComponent, AudioComponentInstance* outInstance) {
    note("AudioComponentInstanceNew");
    *outInstance = reinterpret_cast<AudioComponentInstance>(&unitTag);
    return 0;
}

OSStatus FakeAudioSystem::AudioComponentInstanceDispose(AudioComponentInstance) {
    // The callback stays callable: tests use it to play a late IO thread.
    note("AudioComponentInstanceDispose");
    return 0;
}

OSStatus FakeAudioSystem::AudioUnitSetProperty(AudioUnit, AudioUnitPropertyID id, AudioUnitScope scope,
                                               AudioUnitElement, const void* data, UInt32 size) {
    if (id == kUnitPropStreamFormat && scope == kUnitScopeOutput) {
        AudioStreamBasicDescription format;
        std::memcpy(&format, data, sizeof format);
        bool planar = format.mFormatFlags & kFormatFlagIsNonInterleaved;
        if (!planar && rejectInterleaved) return kFormatNotSupported;
        std::lock_guard lock(mutex_);
        planar_ = planar;
    }
    if (id == kUnitPropSetInputCallback && size == sizeof(AURenderCallbackStruct)) {
        std::lock_guard lock(mutex_);
        std::memcpy(&callback_, data, sizeof callback_);
    }
    return 0;
}

OSStatus FakeAudioSystem::AudioUnitGetProperty(AudioUnit, AudioUnitPropertyID id, AudioUnitScope scope,
                                               AudioUnitElement element, void* data, UInt32* size) {
    if (id != kUnitPropStreamFormat || scope != kUnitScopeInput || element != 1) return kInvalidPropertyError;
    AudioStreamBasicDescription format{rate, kFormatLinearPCM, 9, 4 * channels, 1, 4 * channels, channels, 32, 0};
    return put(format, size, data);
}

OSStatus FakeAudioSystem::AudioUnitInitialize(AudioUnit) {
    note("AudioUnitInitialize");
    return initializeStatus;
}

OSStatus FakeAudioSystem::AudioUnitUninitialize(AudioUnit) {
    note("AudioUnitUninitialize");
    return 0;
}

// Starting delivers one slice at once, so that the start's wait ends.
OSStatus FakeAudioSystem::AudioOutputUnitStart(AudioUnit) {
    note("AudioOutputUnitStart");
    {
        std::lock_guard lock(mutex_);
        running_ = true;
    }
    deliver(512);
    return 0;
}

OSStatus FakeAudioSystem::AudioOutputUnitStop(AudioUnit) {
    note("AudioOutputUnitStop");
    std::lock_guard lock(mutex_);
    if (stopStatus == 0) running_ = false;
    return stopStatus;
}

OSStatus FakeAudioSystem::AudioUnitRender(AudioUnit, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32 bus,
                                          UInt32 frames, AudioBufferList* list) {
    std::lock_guard lock(mutex_);
    ++renders_;
    if (bus != 1) renderSizesRight_ = false;
    auto* buffers = reinterpret_cast<AudioBuffer*>(reinterpret_cast<unsigned char*>(list) +
                                                   offsetof(AudioBufferList, mBuffers));
    const UInt32 expectedBuffers = planar_ ? channels : 1;
    if (list->mNumberBuffers != expectedBuffers) {
        renderSizesRight_ = false;
        return -50;
    }
    for (UInt32 b = 0; b < list->mNumberBuffers; ++b) {
        UInt32 perFrame = planar_ ? 1 : channels;
        if (buffers[b].mDataByteSize != frames * 4 * perFrame) renderSizesRight_ = false;
        auto* out = static_cast<float*>(buffers[b].mData);
        for (UInt32 i = 0; i < frames; ++i) {
            for (UInt32 c = 0; c < perFrame; ++c) {
                out[i * perFrame + c] = signal(frameIndex_ + i, planar_ ? b : c);
            }
        }
    }
    frameIndex_ += frames;
    return 0;
}

std::optional<std::string> FakeAudioSystem::stringValue(StringRef ref) {
    return *static_cast<const std::string*>(ref);
}

std::unique_ptr<SampleRateConverter> FakeAudioSystem::makeConverter(double inRate, double outRate) {
#if defined(__APPLE__)
    return coreaudio::makeAudioConverter(inRate, outRate);
#else
    return makeSoxrConverter(inRate, outRate);
#endif
}

}  // namespace tarnwick::testing::mic
