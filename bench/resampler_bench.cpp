// The microphone's 44100 → 48000 Hz conversion: how clean a 1 kHz sine comes
// out (signal-to-noise ratio) and what a second of audio costs. Driven the way
// the input callback drives it: 512-frame slices, each offered once.
//
// Run: build-*/bench/resampler_bench  (figures only; nothing is asserted)

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "backends/soxr/soxr_converter.h"

namespace {

constexpr double inputRate = 44100, outputRate = 48000, toneHz = 1000;
constexpr unsigned slice = 512;
constexpr unsigned outputCapacity = 4523;  // ceil(48000 / 44100 × 4096) + 64

std::vector<float> sine(std::size_t frames, double rate) {
    std::vector<float> out(frames);
    for (std::size_t i = 0; i < frames; ++i) out[i] = float(0.5 * std::sin(2 * M_PI * toneHz * double(i) / rate));
    return out;
}

// Converts `input` slice by slice; returns everything produced.
std::vector<float> convert(tarnwick::audio::SampleRateConverter& converter, const std::vector<float>& input) {
    using tarnwick::audio::ConverterInputStatus;
    std::vector<float> output, chunk(outputCapacity);
    for (std::size_t at = 0; at + slice <= input.size(); at += slice) {
        bool consumed = false;
        const float* data = input.data() + at;
        auto provider = [&](const float** d, UInt32* n) {
            if (consumed) return ConverterInputStatus::noDataNow;
            consumed = true;
            *d = data;
            *n = slice;
            return ConverterInputStatus::haveData;
        };
        UInt32 produced = 0;
        std::string error;
        converter.convert(chunk.data(), outputCapacity, &produced, &error, provider);
        output.insert(output.end(), chunk.begin(), chunk.begin() + produced);
    }
    return output;
}

// Least-squares fit of a 1 kHz sine (any phase) plus offset; what the fit
// leaves over is noise and distortion.
double snrDecibels(const std::vector<float>& y, std::size_t skip) {
    double sc = 0, ss = 0, cc = 0, sy = 0, cy = 0, n = 0, sumY = 0;
    for (std::size_t i = skip; i < y.size(); ++i) {
        double w = 2 * M_PI * toneHz * double(i) / outputRate;
        double s = std::sin(w), c = std::cos(w);
        ss += s * s, cc += c * c, sc += s * c, sy += s * y[i], cy += c * y[i], sumY += y[i], n += 1;
    }
    double det = ss * cc - sc * sc;
    double a = (sy * cc - cy * sc) / det, b = (cy * ss - sy * sc) / det, offset = sumY / n;
    double signal = 0, noise = 0;
    for (std::size_t i = skip; i < y.size(); ++i) {
        double w = 2 * M_PI * toneHz * double(i) / outputRate;
        double fit = a * std::sin(w) + b * std::cos(w) + offset;
        signal += fit * fit;
        noise += (y[i] - fit) * (y[i] - fit);
    }
    return 10 * std::log10(signal / noise);
}

void BM_Convert44100To48000(benchmark::State& state) {
    const std::vector<float> second = sine(std::size_t(inputRate) / slice * slice, inputRate);
    for (auto _ : state) {
        state.PauseTiming();
        auto converter = tarnwick::audio::makeSoxrConverter(inputRate, outputRate);
        state.ResumeTiming();
        auto out = convert(*converter, second);
        benchmark::DoNotOptimize(out.data());
    }
    // Seconds of audio converted per second of CPU: how many times faster
    // than real time one capture's conversion runs.
    state.counters["x_realtime"] =
        benchmark::Counter(double(second.size()) / inputRate * double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel("time per second of mono audio");
}
BENCHMARK(BM_Convert44100To48000)->Unit(benchmark::kMicrosecond);

void BM_ConvertOneSlice(benchmark::State& state) {
    auto converter = tarnwick::audio::makeSoxrConverter(inputRate, outputRate);
    const std::vector<float> input = sine(slice * 64, inputRate);
    std::vector<float> chunk(outputCapacity);
    std::size_t at = 0;
    for (auto _ : state) {
        bool consumed = false;
        const float* data = input.data() + at;
        auto provider = [&](const float** d, UInt32* n) {
            if (consumed) return tarnwick::audio::ConverterInputStatus::noDataNow;
            consumed = true;
            *d = data;
            *n = slice;
            return tarnwick::audio::ConverterInputStatus::haveData;
        };
        UInt32 produced = 0;
        converter->convert(chunk.data(), outputCapacity, &produced, nullptr, provider);
        benchmark::DoNotOptimize(produced);
        at = (at + slice) % input.size();
    }
    state.SetLabel("one 512-frame slice, as the input callback does");
}
BENCHMARK(BM_ConvertOneSlice)->Unit(benchmark::kMicrosecond);

void printQuality() {
    auto converter = tarnwick::audio::makeSoxrConverter(inputRate, outputRate);
    auto out = convert(*converter, sine(std::size_t(inputRate) * 4, inputRate));
    // The filter's delay shifts the phase, which the fit absorbs; skip its
    // warm-up.
    double snr = snrDecibels(out, 4800);
    std::printf("1 kHz sine, 44100 -> 48000 Hz: %zu output frames for 4 s of input, SNR %.1f dB\n", out.size(), snr);
}

}  // namespace

int main(int argc, char** argv) {
    printQuality();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
