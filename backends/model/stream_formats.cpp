#include "backends/model/stream_formats.h"

#include <cstring>

namespace tarnwick::model {

AudioStreamBasicDescription floatFormat(double rate, UInt32 channels, bool planar) {
    AudioStreamBasicDescription f{};
    f.mSampleRate = rate;
    f.mFormatID = audio::kFormatLinearPCM;
    f.mFormatFlags = audio::kFormatFlagIsFloat | audio::kFormatFlagIsPacked |
                     (planar ? audio::kFormatFlagIsNonInterleaved : 0);
    UInt32 bytesPerFrame = planar ? 4 : 4 * channels;
    f.mBytesPerPacket = bytesPerFrame;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = bytesPerFrame;
    f.mChannelsPerFrame = channels;
    f.mBitsPerChannel = 32;
    return f;
}

bool isPlanar(const AudioStreamBasicDescription& format) {
    return (format.mFormatFlags & audio::kFormatFlagIsNonInterleaved) != 0;
}

// 8 + 16 × buffers bytes, sized once and filled in place: growing it entry by
// entry makes GCC 12 at -O3 report overflows into the empty vector that
// cannot happen.
std::vector<unsigned char> configurationBytes(const std::vector<UInt32>& channelsPerBuffer) {
    constexpr std::size_t listHeader = 8;  // the count, then padding before the 8-byte aligned buffers
    std::vector<unsigned char> bytes(listHeader + sizeof(AudioBuffer) * channelsPerBuffer.size(), 0);
    const auto count = static_cast<UInt32>(channelsPerBuffer.size());
    std::memcpy(bytes.data(), &count, sizeof count);
    for (std::size_t i = 0; i < channelsPerBuffer.size(); ++i) {
        AudioBuffer buffer{channelsPerBuffer[i], 0, nullptr};
        std::memcpy(bytes.data() + listHeader + i * sizeof buffer, &buffer, sizeof buffer);
    }
    return bytes;
}

}  // namespace tarnwick::model
