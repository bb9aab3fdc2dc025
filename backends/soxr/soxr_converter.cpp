#include "backends/soxr/soxr_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace tarnwick::audio {

namespace {

class SoxrConverter final : public SampleRateConverter {
public:
    SoxrConverter(soxr_t soxr) : soxr_(soxr) { carry_.resize(kCarryCapacity); }
    ~SoxrConverter() override { soxr_delete(soxr_); }

    ConverterOutputStatus convert(float* output, UInt32 capacity, UInt32* produced, std::string* errorText,
                                  kit::FunctionRef<ConverterInputStatus(const float**, UInt32*)> provider) override {
        *produced = 0;
        // Input left over from a call whose output filled up goes first.
        if (!drain(output, capacity, produced, errorText)) return ConverterOutputStatus::error;
        ConverterInputStatus inputStatus = ConverterInputStatus::haveData;
        while (carryFrames_ == 0) {
            const float* data = nullptr;
            UInt32 frames = 0;
            inputStatus = provider(&data, &frames);
            if (inputStatus != ConverterInputStatus::haveData) break;
            if (frames == 0 || data == nullptr) continue;
            size_t consumed = 0, made = 0;
            soxr_error_t err = soxr_process(soxr_, data, frames, &consumed, output + *produced,
                                            capacity - *produced, &made);
            if (err) return fail(errorText, err);
            *produced += static_cast<UInt32>(made);
            if (consumed < frames) {
                // Output is full: keep the rest for the next call rather than lose it.
                size_t rest = std::min<size_t>(frames - consumed, kCarryCapacity);
                std::memcpy(carry_.data(), data + consumed, rest * sizeof(float));
                carryFrames_ = rest;
                carryOffset_ = 0;
            }
        }
        if (inputStatus == ConverterInputStatus::endOfStream && carryFrames_ == 0) {
            size_t made = 0;
            soxr_error_t err = soxr_process(soxr_, nullptr, 0, nullptr, output + *produced, capacity - *produced, &made);
            if (err) return fail(errorText, err);
            *produced += static_cast<UInt32>(made);
            return ConverterOutputStatus::endOfStream;
        }
        return *produced > 0 ? ConverterOutputStatus::haveData : ConverterOutputStatus::inputRanDry;
    }

private:
    static constexpr size_t kCarryCapacity = 16384;

    bool drain(float* output, UInt32 capacity, UInt32* produced, std::string* errorText) {
        while (carryFrames_ > 0 && *produced < capacity) {
            size_t consumed = 0, made = 0;
            soxr_error_t err = soxr_process(soxr_, carry_.data() + carryOffset_, carryFrames_, &consumed,
                                            output + *produced, capacity - *produced, &made);
            if (err) {
                fail(errorText, err);
                return false;
            }
            *produced += static_cast<UInt32>(made);
            carryOffset_ += consumed;
            carryFrames_ -= consumed;
            if (consumed == 0 && made == 0) break;
        }
        return true;
    }

    ConverterOutputStatus fail(std::string* errorText, soxr_error_t err) {
        if (errorText) *errorText = std::string("soxr: ") + err;
        return ConverterOutputStatus::error;
    }

    soxr_t soxr_;
    std::vector<float> carry_;
    size_t carryFrames_ = 0;
    size_t carryOffset_ = 0;
};

}  // namespace

std::unique_ptr<SampleRateConverter> makeSoxrConverter(double inRate, double outRate) {
    // Very high quality costs well under a millisecond of CPU per second of
    // audio at our rates (resampler_bench), so nothing argues for less.
    return makeSoxrConverter(inRate, outRate, SoxrRecipe::veryHigh);
}

std::unique_ptr<SampleRateConverter> makeSoxrConverter(double inRate, double outRate, SoxrRecipe recipe) {
    if (!(inRate > 0) || !(outRate > 0)) return nullptr;
    soxr_error_t err = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(recipe == SoxrRecipe::veryHigh ? SOXR_VHQ : SOXR_HQ, 0);
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);  // no worker threads on the IO path
    soxr_t soxr = soxr_create(inRate, outRate, 1, &err, &io, &quality, &runtime);
    if (err || !soxr) return nullptr;
    return std::make_unique<SoxrConverter>(soxr);
}

}  // namespace tarnwick::audio
