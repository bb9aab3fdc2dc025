// The microphone's 44100 → 48000 Hz conversion with each of libsoxr's two
// recipes (high quality, and very high quality, the one the programs use): how
// clean a 1 kHz sine comes out (signal-to-noise ratio) and what a second of
// audio costs. Driven the way the input callback drives it: 512-frame slices,
// each offered once.
//
// Run: build-*/bench/resampler_bench  (figures only; nothing is asserted)

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "backends/soxr/soxr_converter.h"

namespace {

constexpr double inputRate = 44100, outputRate = 48000, toneHz = 1000;
constexpr unsigned slice = 512;
constexpr unsigned outputCapacity = 4523;  // ceil(48000 / 44100 × 4096) + 64

using tarnwick::audio::SoxrRecipe;

const char* recipeName(SoxrRecipe recipe) {
    return recipe == SoxrRecipe::veryHigh ? "very high quality" : "high quality";
}

SoxrRecipe recipeArgument(const benchmark::State& state) { return static_cast<SoxrRecipe>(state.range(0)); }

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

// Least-squares fit of a 1 kHz sine (any phase) plus offset, all three
// fitted together; what the fit leaves over is noise and distortion. (An
// offset taken as the mean apart from the sine counts the sine's own partial
// period as noise and caps the figure near 90 dB, below both recipes.)
double snrDecibels(const std::vector<float>& y, std::size_t skip) {
    // Normal equations m · (a, b, offset) = v over the basis sin, cos, 1.
    double m[3][3] = {}, v[3] = {};
    for (std::size_t i = skip; i < y.size(); ++i) {
        const double w = 2 * M_PI * toneHz * double(i) / outputRate;
        const double basis[3] = {std::sin(w), std::cos(w), 1};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) m[r][c] += basis[r] * basis[c];
            v[r] += basis[r] * y[i];
        }
    }
    auto det3 = [](const double (&a)[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    const double det = det3(m);
    double coefficient[3];
    for (int k = 0; k < 3; ++k) {  // Cramer's rule
        double replaced[3][3];
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) replaced[r][c] = c == k ? v[r] : m[r][c];
        coefficient[k] = det3(replaced) / det;
    }
    double signal = 0, noise = 0;
    for (std::size_t i = skip; i < y.size(); ++i) {
        const double w = 2 * M_PI * toneHz * double(i) / outputRate;
        const double fit = coefficient[0] * std::sin(w) + coefficient[1] * std::cos(w) + coefficient[2];
        signal += fit * fit;
        noise += (y[i] - fit) * (y[i] - fit);
    }
    return 10 * std::log10(signal / noise);
}

void BM_Convert44100To48000(benchmark::State& state) {
    const std::vector<float> second = sine(std::size_t(inputRate) / slice * slice, inputRate);
    for (auto _ : state) {
        state.PauseTiming();
        auto converter = tarnwick::audio::makeSoxrConverter(inputRate, outputRate, recipeArgument(state));
        state.ResumeTiming();
        auto out = convert(*converter, second);
        benchmark::DoNotOptimize(out.data());
    }
    // Seconds of audio converted per second of CPU: how many times faster
    // than real time one capture's conversion runs.
    state.counters["x_realtime"] =
        benchmark::Counter(double(second.size()) / inputRate * double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(std::string(recipeName(recipeArgument(state))) + ": time per second of mono audio");
}
BENCHMARK(BM_Convert44100To48000)
    ->Arg(int(SoxrRecipe::high))
    ->Arg(int(SoxrRecipe::veryHigh))
    ->Unit(benchmark::kMicrosecond);

void BM_ConvertOneSlice(benchmark::State& state) {
    auto converter = tarnwick::audio::makeSoxrConverter(inputRate, outputRate, recipeArgument(state));
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
    state.SetLabel(std::string(recipeName(recipeArgument(state))) + ": one 512-frame slice, as the input callback does");
}
BENCHMARK(BM_ConvertOneSlice)->Arg(int(SoxrRecipe::high))->Arg(int(SoxrRecipe::veryHigh))->Unit(benchmark::kMicrosecond);

void printQuality(SoxrRecipe recipe) {
    auto converter = tarnwick::audio::makeSoxrConverter(inputRate, outputRate, recipe);
    auto out = convert(*converter, sine(std::size_t(inputRate) * 4, inputRate));
    // The filter's delay shifts the phase, which the fit absorbs; skip its
    // warm-up.
    double snr = snrDecibels(out, 4800);
    std::printf("%s, 1 kHz sine, 44100 -> 48000 Hz: %zu output frames for 4 s of input, SNR %.1f dB\n",
                recipeName(recipe), out.size(), snr);
}

}  // namespace

int main(int argc, char** argv) {
    printQuality(SoxrRecipe::high);
    printQuality(SoxrRecipe::veryHigh);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
