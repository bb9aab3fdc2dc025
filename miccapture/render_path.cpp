// The input callback's work: render the slice, average it to mono, convert
// it to 48000 Hz and write it. Runs on the unit's IO thread, so it allocates
// nothing and takes no lock; all memory it touches is built per attempt by
// allocateRenderBuffers and buildConverter on the main thread.

#include "miccapture/render_path.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "frame/capture_error.h"
#include "frame/device_timeline.h"
#include "frame/host_clock.h"
#include "frame/kit/function_ref.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "frame/stream_writer.h"
#include "miccapture/mic_capture.h"
#include "miccapture/mic_constants.h"

namespace tarnwick::mic {

using namespace tarnwick::audio;

void averageChannels(const AudioBufferList& list, bool planar, UInt32 channels, UInt32 frames, float* mono) {
    const AudioBuffer* buffers = buffersOf(&list);
    if (list.mNumberBuffers == 0 || buffers[0].mData == nullptr) return;
    const auto* first = static_cast<const float*>(buffers[0].mData);
    if (!planar) {
        if (channels == 1) {
            std::memcpy(mono, first, std::size_t(frames) * sizeof(float));
            return;
        }
        const float scale = 1.0f / static_cast<float>(channels);
        for (UInt32 i = 0; i < frames; ++i) {
            const float* frame = first + std::size_t(i) * channels;
            float sum = 0.0f;
            for (UInt32 c = 0; c < channels; ++c) sum += frame[c];
            mono[i] = scale * sum;
        }
        return;
    }
    std::memcpy(mono, first, std::size_t(frames) * sizeof(float));
    if (channels < 2) return;
    // A slice may carry fewer buffers than the format has channels (or a
    // buffer without data); dividing by the channel count would make the
    // mono signal quieter than any of the channels it came from.
    UInt32 present = std::min<UInt32>(channels, list.mNumberBuffers);
    UInt32 summed = 1;
    for (UInt32 c = 1; c < present; ++c) {
        const auto* data = static_cast<const float*>(buffers[c].mData);
        if (data == nullptr) continue;
        for (UInt32 i = 0; i < frames; ++i) mono[i] += data[i];
        ++summed;
    }
    if (summed == 1) return;
    const float scale = 1.0f / static_cast<float>(summed);
    for (UInt32 i = 0; i < frames; ++i) mono[i] *= scale;
}

void MicCapture::FreeDeleter::operator()(void* p) const { std::free(p); }

void MicCapture::allocateRenderBuffers() {
    const UInt32 bufferCount = planar_ ? channels_ : 1;
    const std::size_t blockBytes = std::size_t(maxFramesPerSlice) * 4 * (planar_ ? 1 : channels_);
    const std::size_t listBytes =
        std::max(sizeof(AudioBufferList), offsetof(AudioBufferList, mBuffers) + bufferCount * sizeof(AudioBuffer));
    void* memory = std::calloc(1, listBytes);
    if (memory == nullptr) throw std::bad_alloc();
    renderList_.reset(static_cast<AudioBufferList*>(memory));
    renderList_->mNumberBuffers = bufferCount;
    AudioBuffer* buffers = buffersOf(renderList_.get());
    const UInt32 channelsPerBuffer = planar_ ? 1 : channels_;
    renderStorage_.clear();
    renderStorage_.reserve(bufferCount);
    for (UInt32 i = 0; i < bufferCount; ++i) {
        renderStorage_.push_back(std::make_unique_for_overwrite<unsigned char[]>(blockBytes));
        buffers[i].mNumberChannels = channelsPerBuffer;
        buffers[i].mDataByteSize = static_cast<UInt32>(blockBytes);
        buffers[i].mData = renderStorage_.back().get();
    }
}

void MicCapture::buildConverter() {
    if (deviceRate_ == outputSampleRate) return;
    std::unique_ptr<SampleRateConverter> converter = system_->makeConverter(deviceRate_, outputSampleRate);
    if (!converter) {
        throw CaptureError("could not build a " + std::to_string(wholeHertz(deviceRate_)) + " → 48000 Hz converter");
    }
    // Room for one whole slice's output, plus margin for the filter's state.
    const double frames = std::ceil(outputSampleRate / deviceRate_ * maxFramesPerSlice);
    if (!(frames + 64 <= double(std::numeric_limits<UInt32>::max()))) {
        throw CaptureError("could not allocate converter buffers");
    }
    const UInt32 capacity = static_cast<UInt32>(frames) + 64;
    std::unique_ptr<float[]> input(new (std::nothrow) float[maxFramesPerSlice]);
    std::unique_ptr<float[]> output(input ? new (std::nothrow) float[capacity] : nullptr);
    if (!input || !output) throw CaptureError("could not allocate converter buffers");
    converter_ = std::move(converter);
    converterInput_ = std::move(input);
    converterOutput_ = std::move(output);
    converterOutputCapacity_ = capacity;
}

OSStatus MicCapture::inputCallback(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                   const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber, UInt32 inNumberFrames,
                                   AudioBufferList* /*ioData*/) {
    return static_cast<MicCapture*>(inRefCon)->renderInput(ioActionFlags, inTimeStamp, inBusNumber, inNumberFrames);
}

OSStatus MicCapture::renderInput(AudioUnitRenderActionFlags* ioActionFlags, const AudioTimeStamp* inTimeStamp,
                                 UInt32 inBusNumber, UInt32 inNumberFrames) {
    // Announce ourselves before looking at the unit: releaseUnit clears the
    // unit and then waits for this count, so either we see no unit or it sees
    // us (both sides sequentially consistent).
    callbacksInside_.fetch_add(1);
    struct Leave {
        std::atomic<int>& count;
        ~Leave() { count.fetch_sub(1); }
    } leave{callbacksInside_};

    AudioUnit unit = unit_.load();
    if (unit == nullptr || !renderList_) return 0;
    if (stopped_.load() || inNumberFrames == 0) return 0;
    if (inNumberFrames > maxFramesPerSlice) {
        if (!oversizeLogged_.exchange(true)) {
            char line[96];
            std::snprintf(line, sizeof line, "dropping oversized slice (%u frames > %u)", unsigned(inNumberFrames),
                          unsigned(maxFramesPerSlice));
            log(line);
        }
        return 0;
    }

    const UInt32 bytes = inNumberFrames * 4 * (planar_ ? 1 : channels_);
    AudioBuffer* buffers = buffersOf(renderList_.get());
    for (UInt32 i = 0; i < renderList_->mNumberBuffers; ++i) {
        buffers[i].mDataByteSize = bytes;
        buffers[i].mData = renderStorage_[i].get();
    }

    OSStatus status =
        system_->AudioUnitRender(unit, ioActionFlags, inTimeStamp, inBusNumber, inNumberFrames, renderList_.get());
    if (status != 0) {
        char text[128];
        if (!renderErrorLogged_.exchange(true)) {
            std::snprintf(text, sizeof text, "AudioUnitRender failed (%d) — device gone? parent will restart capture",
                          int(status));
            log(text);
        }
        std::snprintf(text, sizeof text, "AudioUnitRender failed (%d) — parent will restart capture", int(status));
        requestShutdown(text);
        return status;
    }

    if (!firstFrameSignalled_.exchange(true)) firstFrame_.signal();
    lastRenderMach_.store(hostTicks());
    silence_.addCycle(isDigitalSilence(*renderList_), inNumberFrames);
    // Until the header is out nothing may be written, and a slice fed to the
    // converter now would come out ahead of the stream's first frame.
    if (!headerWritten()) return 0;

    // Device time skipped since the last slice goes out first, as silence
    // at the stream's rate.
    const std::uint64_t fill = timeline_.enterCycle(inTimeStamp, inNumberFrames);
    downmixToMono(inNumberFrames);
    writingToParent_.store(true);
    bool written = fill == 0 || writeSilence(fill, 1);
    if (written) timeline_.written(fill);
    written = written && convertAndWrite(inNumberFrames);
    lastRenderMach_.store(hostTicks());
    writingToParent_.store(false);
    if (!written) requestShutdown("stdout closed (parent gone)");
    return 0;
}

void MicCapture::downmixToMono(UInt32 frames) {
    averageChannels(*renderList_, planar_, channels_, frames, monoScratch_.data());
}

bool MicCapture::convertAndWrite(UInt32 frames) {
    if (!converter_ || !converterInput_ || !converterOutput_) {
        if (!writePcm(monoScratch_.data(), std::size_t(frames) * sizeof(float))) return false;
        timeline_.written(frames);
        return true;
    }
    std::memcpy(converterInput_.get(), monoScratch_.data(), std::size_t(frames) * sizeof(float));

    // Offers this slice once, then says there is nothing more for now. It
    // lives on this stack frame: no allocation per slice.
    bool consumed = false;
    const float* input = converterInput_.get();
    auto provider = [&](const float** data, UInt32* count) {
        if (consumed) {
            *data = nullptr;
            *count = 0;
            return ConverterInputStatus::noDataNow;
        }
        consumed = true;
        *data = input;
        *count = frames;
        return ConverterInputStatus::haveData;
    };

    UInt32 produced = 0;
    std::string errorText;
    ConverterOutputStatus status =
        converter_->convert(converterOutput_.get(), converterOutputCapacity_, &produced, &errorText, provider);
    if (status == ConverterOutputStatus::error) {
        // Logged once: the shutdown it leads to may take a few more slices.
        if (!resampleErrorLogged_.exchange(true)) {
            log("resampling failed (" + (errorText.empty() ? std::string("?") : errorText) + ") — shutting down");
        }
        return false;
    }
    produced = std::min(produced, converterOutputCapacity_);
    if (produced == 0) return true;
    if (!writePcm(converterOutput_.get(), std::size_t(produced) * sizeof(float))) return false;
    timeline_.written(produced);
    return true;
}

}  // namespace tarnwick::mic
