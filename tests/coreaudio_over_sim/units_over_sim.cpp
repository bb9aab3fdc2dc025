// Apple's audio-unit and AudioConverter calls over the simulated system.

#include <AudioToolbox/AudioToolbox.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "tests/coreaudio_over_sim/simulated_hal.h"

using tarnwick::coreaudio_over_sim::simulatedHal;

struct OpaqueAudioConverter {
    std::unique_ptr<tarnwick::audio::SampleRateConverter> converter;
};

namespace {

bool isMonoFloat(const AudioStreamBasicDescription* format) {
    return format != nullptr && format->mFormatID == kAudioFormatLinearPCM &&
           (format->mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
           (format->mFormatFlags & kAudioFormatFlagIsBigEndian) == 0 && format->mChannelsPerFrame == 1 &&
           format->mBitsPerChannel == 32 && format->mBytesPerFrame == 4 && format->mFramesPerPacket == 1 &&
           format->mSampleRate > 0;
}

// The simulator reports a failed conversion only as text ending in
// "(OSStatus error N.)"; the platform returns N.
OSStatus statusIn(const std::string& text) {
    const std::string marker = "OSStatus error ";
    const auto at = text.rfind(marker);
    if (at == std::string::npos) return kAudioHardwareUnspecifiedError;
    char* end = nullptr;
    const long status = std::strtol(text.c_str() + at + marker.size(), &end, 10);
    return (end && *end == '.' && status != 0) ? static_cast<OSStatus>(status) : kAudioHardwareUnspecifiedError;
}

}  // namespace

extern "C" {

AudioComponent AudioComponentFindNext(AudioComponent inComponent, const AudioComponentDescription* inDesc) {
    return simulatedHal().AudioComponentFindNext(inComponent, inDesc);
}

OSStatus AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance) {
    return simulatedHal().AudioComponentInstanceNew(inComponent, outInstance);
}

OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance) {
    return simulatedHal().AudioComponentInstanceDispose(inInstance);
}

OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, UInt32 inDataSize) {
    return simulatedHal().AudioUnitSetProperty(inUnit, inID, inScope, inElement, inData, inDataSize);
}

OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void* outData, UInt32* ioDataSize) {
    return simulatedHal().AudioUnitGetProperty(inUnit, inID, inScope, inElement, outData, ioDataSize);
}

OSStatus AudioUnitInitialize(AudioUnit inUnit) { return simulatedHal().AudioUnitInitialize(inUnit); }
OSStatus AudioUnitUninitialize(AudioUnit inUnit) { return simulatedHal().AudioUnitUninitialize(inUnit); }
OSStatus AudioOutputUnitStart(AudioUnit ci) { return simulatedHal().AudioOutputUnitStart(ci); }
OSStatus AudioOutputUnitStop(AudioUnit ci) { return simulatedHal().AudioOutputUnitStop(ci); }

OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                         const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber, UInt32 inNumberFrames,
                         AudioBufferList* ioData) {
    return simulatedHal().AudioUnitRender(inUnit, ioActionFlags, inTimeStamp, inOutputBusNumber, inNumberFrames,
                                          ioData);
}

OSStatus AudioConverterNew(const AudioStreamBasicDescription* inSourceFormat,
                           const AudioStreamBasicDescription* inDestinationFormat,
                           AudioConverterRef* outAudioConverter) {
    if (outAudioConverter == nullptr) return kAudio_ParamError;
    *outAudioConverter = nullptr;
    // The simulator converts one channel of float; nothing else is asked of it.
    if (!isMonoFloat(inSourceFormat) || !isMonoFloat(inDestinationFormat)) {
        return kAudioConverterErr_FormatNotSupported;
    }
    auto converter = simulatedHal().makeConverter(inSourceFormat->mSampleRate, inDestinationFormat->mSampleRate);
    if (!converter) return kAudio_ParamError;
    *outAudioConverter = new OpaqueAudioConverter{std::move(converter)};
    return noErr;
}

OSStatus AudioConverterDispose(AudioConverterRef inAudioConverter) {
    if (inAudioConverter == nullptr) return kAudio_ParamError;
    delete inAudioConverter;
    return noErr;
}

OSStatus AudioConverterFillComplexBuffer(AudioConverterRef inAudioConverter,
                                         AudioConverterComplexInputDataProc inInputDataProc,
                                         void* inInputDataProcUserData, UInt32* ioOutputDataPacketSize,
                                         AudioBufferList* outOutputData, AudioStreamPacketDescription*) {
    if (inAudioConverter == nullptr || inInputDataProc == nullptr || ioOutputDataPacketSize == nullptr ||
        outOutputData == nullptr || outOutputData->mNumberBuffers != 1 || outOutputData->mBuffers[0].mData == nullptr) {
        return kAudio_ParamError;
    }
    const UInt32 capacity = std::min(*ioOutputDataPacketSize, outOutputData->mBuffers[0].mDataByteSize / 4);

    // The input callback's answers in the platform's terms: packets with
    // noErr, no packets with noErr (end of stream), or a status of its own
    // (nothing now), which ends this call and is returned to the caller.
    OSStatus inputStatus = noErr;
    AudioBufferList input{};
    auto provider = [&](const float** data, UInt32* frames) {
        input.mNumberBuffers = 1;
        input.mBuffers[0] = AudioBuffer{1, 0, nullptr};
        UInt32 packets = capacity;
        *data = nullptr;
        *frames = 0;
        const OSStatus status = inInputDataProc(inAudioConverter, &packets, &input, nullptr, inInputDataProcUserData);
        if (status != noErr) {
            inputStatus = status;
            return tarnwick::audio::ConverterInputStatus::noDataNow;
        }
        if (packets == 0 || input.mBuffers[0].mData == nullptr) return tarnwick::audio::ConverterInputStatus::endOfStream;
        *data = static_cast<const float*>(input.mBuffers[0].mData);
        *frames = std::min(packets, input.mBuffers[0].mDataByteSize / 4);
        return tarnwick::audio::ConverterInputStatus::haveData;
    };

    UInt32 produced = 0;
    std::string errorText;
    const auto result = inAudioConverter->converter->convert(static_cast<float*>(outOutputData->mBuffers[0].mData),
                                                             capacity, &produced, &errorText, provider);
    if (result == tarnwick::audio::ConverterOutputStatus::error) {
        *ioOutputDataPacketSize = 0;
        outOutputData->mBuffers[0].mDataByteSize = 0;
        return statusIn(errorText);
    }
    *ioOutputDataPacketSize = produced;
    outOutputData->mBuffers[0].mDataByteSize = produced * 4;
    return inputStatus;
}

}  // extern "C"
