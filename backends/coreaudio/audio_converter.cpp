#include "backends/coreaudio/audio_converter.h"

#include <AudioToolbox/AudioToolbox.h>

#include <algorithm>
#include <limits>
#include <string>

namespace tarnwick::coreaudio {

namespace {

using audio::ConverterInputStatus;
using audio::ConverterOutputStatus;
using Provider = kit::FunctionRef<ConverterInputStatus(const float**, UInt32*)>;

AudioStreamBasicDescription monoFloat(double rate) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = rate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagsNativeFloatPacked;
    format.mBytesPerPacket = sizeof(float);
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = sizeof(float);
    format.mChannelsPerFrame = 1;
    format.mBitsPerChannel = 32;
    return format;
}

// Lives on the stack of one conversion call.
struct Pull {
    Provider* provider;
    bool ended = false;
};

OSStatus pullInput(AudioConverterRef, UInt32* ioNumberDataPackets, AudioBufferList* ioData,
                   AudioStreamPacketDescription**, void* inUserData) {
    Pull& pull = *static_cast<Pull*>(inUserData);
    const float* data = nullptr;
    UInt32 frames = 0;
    const ConverterInputStatus status = (*pull.provider)(&data, &frames);
    AudioBuffer& buffer = ioData->mBuffers[0];
    buffer.mNumberChannels = 1;
    if (status == ConverterInputStatus::haveData && data != nullptr && frames > 0) {
        // The converter only reads input; its buffer type is not const.
        buffer.mData = const_cast<float*>(data);
        buffer.mDataByteSize = frames * UInt32(sizeof(float));
        *ioNumberDataPackets = frames;
        return noErr;
    }
    buffer.mData = nullptr;
    buffer.mDataByteSize = 0;
    *ioNumberDataPackets = 0;
    if (status != ConverterInputStatus::endOfStream) return kNoDataNowStatus;
    // No packets and no error: the end of the stream.
    pull.ended = true;
    return noErr;
}

class AudioConverterRateConverter final : public audio::SampleRateConverter {
public:
    explicit AudioConverterRateConverter(AudioConverterRef converter) : converter_(converter) {}
    ~AudioConverterRateConverter() override { AudioConverterDispose(converter_); }
    AudioConverterRateConverter(const AudioConverterRateConverter&) = delete;
    AudioConverterRateConverter& operator=(const AudioConverterRateConverter&) = delete;

    ConverterOutputStatus convert(float* output, UInt32 capacity, UInt32* produced, std::string* errorText,
                                  Provider provider) override {
        capacity = std::min<UInt32>(capacity, std::numeric_limits<UInt32>::max() / sizeof(float));
        AudioBufferList list{};
        list.mNumberBuffers = 1;
        list.mBuffers[0].mNumberChannels = 1;
        list.mBuffers[0].mDataByteSize = capacity * UInt32(sizeof(float));
        list.mBuffers[0].mData = output;
        UInt32 packets = capacity;
        Pull pull{&provider};
        const OSStatus status = AudioConverterFillComplexBuffer(converter_, pullInput, &pull, &packets, &list, nullptr);
        if (status == kNoDataNowStatus) {
            *produced = std::min(packets, capacity);
            return ConverterOutputStatus::inputRanDry;
        }
        if (status != noErr) {
            *produced = 0;
            // Worded as the platform words an OSStatus error for a person.
            if (errorText) {
                *errorText = "The operation couldn\u2019t be completed. (OSStatus error " + std::to_string(status) + ".)";
            }
            return ConverterOutputStatus::error;
        }
        *produced = std::min(packets, capacity);
        return pull.ended ? ConverterOutputStatus::endOfStream : ConverterOutputStatus::haveData;
    }

private:
    AudioConverterRef converter_;
};

}  // namespace

std::unique_ptr<audio::SampleRateConverter> makeAudioConverter(double inRate, double outRate) {
    const AudioStreamBasicDescription source = monoFloat(inRate);
    const AudioStreamBasicDescription destination = monoFloat(outRate);
    AudioConverterRef converter = nullptr;
    if (AudioConverterNew(&source, &destination, &converter) != noErr || converter == nullptr) return nullptr;
    return std::make_unique<AudioConverterRateConverter>(converter);
}

}  // namespace tarnwick::coreaudio
