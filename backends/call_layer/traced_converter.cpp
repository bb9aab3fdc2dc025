#include "backends/call_layer/traced_converter.h"

#include "backends/call_layer/trace_text.h"

namespace tarnwick::call_layer {

namespace {

const char* statusName(audio::ConverterOutputStatus status) {
    switch (status) {
        case audio::ConverterOutputStatus::haveData:
            return "haveData";
        case audio::ConverterOutputStatus::inputRanDry:
            return "inputRanDry";
        case audio::ConverterOutputStatus::endOfStream:
            return "endOfStream";
        case audio::ConverterOutputStatus::error:
            return "error";
    }
    return "?";
}

class TracedConverter final : public audio::SampleRateConverter {
public:
    TracedConverter(std::unique_ptr<audio::SampleRateConverter> inner, std::shared_ptr<Trace> trace,
                    std::shared_ptr<FaultTable> faults, std::uint64_t number)
        : inner_(std::move(inner)), trace_(std::move(trace)), faults_(std::move(faults)), number_(number) {}

    ~TracedConverter() override {
        trace_->linef("AudioConverterDispose conv#%llu -> 0", static_cast<unsigned long long>(number_));
    }

    audio::ConverterOutputStatus convert(
        float* output, UInt32 capacity, UInt32* produced, std::string* errorText,
        kit::FunctionRef<audio::ConverterInputStatus(const float**, UInt32*)> provider) override {
        if (auto hit = faults_->check(Call::AudioConverter)) {
            // Fails like the platform converter does: no output, no input taken.
            *produced = 0;
            if (errorText) {
                *errorText = "The operation couldn\u2019t be completed. (OSStatus error " + std::to_string(hit->status) + ".)";
            }
            trace_->linef("AudioConverter conv#%llu capacity=%u -> %d error fault",
                          static_cast<unsigned long long>(number_), static_cast<unsigned>(capacity),
                          static_cast<int>(hit->status));
            return audio::ConverterOutputStatus::error;
        }
        audio::ConverterOutputStatus status = inner_->convert(output, capacity, produced, errorText, provider);
        trace_->linef("AudioConverter conv#%llu capacity=%u -> 0 %s produced=%u",
                      static_cast<unsigned long long>(number_), static_cast<unsigned>(capacity), statusName(status),
                      static_cast<unsigned>(*produced));
        return status;
    }

private:
    std::unique_ptr<audio::SampleRateConverter> inner_;
    std::shared_ptr<Trace> trace_;
    std::shared_ptr<FaultTable> faults_;
    std::uint64_t number_;
};

}  // namespace

std::unique_ptr<audio::SampleRateConverter> makeTracedConverter(
    double inRate, double outRate, std::shared_ptr<Trace> trace, std::shared_ptr<FaultTable> faults,
    std::uint64_t number, kit::FunctionRef<std::unique_ptr<audio::SampleRateConverter>()> build) {
    std::string args = "in=" + numberText(inRate) + " out=" + numberText(outRate);
    if (auto hit = faults->check(Call::AudioConverterNew)) {
        trace->call("AudioConverterNew", args, hit->status, "none fault");
        return nullptr;
    }
    auto inner = build();
    if (!inner) {
        trace->call("AudioConverterNew", args, audio::kInvalidParameterError, "none");
        return nullptr;
    }
    trace->call("AudioConverterNew", args, 0, "conv#" + std::to_string(number));
    return std::make_unique<TracedConverter>(std::move(inner), std::move(trace), std::move(faults), number);
}

}  // namespace tarnwick::call_layer
