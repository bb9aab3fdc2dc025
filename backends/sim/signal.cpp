#include "backends/sim/signal.h"

#include <cmath>
#include <numbers>

namespace tarnwick::sim {

namespace {

constexpr std::uint64_t kCounterPeriod = 1u << 20;

std::uint64_t mix(std::uint64_t x) noexcept {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

float noiseSample(const SignalSpec& signal, std::uint64_t frame, UInt32 channel) noexcept {
    std::uint64_t bits = mix(mix(signal.seed) ^ mix(frame * 0x100000001B3ull + channel));
    double unit = static_cast<double>(bits >> 11) * (1.0 / 9007199254740992.0);  // [0, 1)
    return static_cast<float>(signal.amplitude * (2.0 * unit - 1.0));
}

}  // namespace

void renderSignal(const SignalSpec& signal, double rate, std::uint64_t first, UInt32 frames, UInt32 channel,
                  float* out, std::size_t stride) noexcept {
    switch (signal.kind) {
        case SignalSpec::Kind::silence:
            for (UInt32 i = 0; i < frames; ++i) out[i * stride] = 0.0f;
            return;
        case SignalSpec::Kind::counter:
            // c + k / 2^20 with k < 2^20 needs 20 fraction bits plus the
            // integer part: exact in a float for every channel below 16.
            for (UInt32 i = 0; i < frames; ++i) {
                std::uint64_t k = (first + i) % kCounterPeriod;
                out[i * stride] = static_cast<float>(static_cast<double>(channel) +
                                                     static_cast<double>(k) / static_cast<double>(kCounterPeriod));
            }
            return;
        case SignalSpec::Kind::noise:
            for (UInt32 i = 0; i < frames; ++i) out[i * stride] = noiseSample(signal, first + i, channel);
            return;
        case SignalSpec::Kind::sine: {
            double cyclesPerFrame = rate > 0 ? signal.frequency / rate : 0.0;
            for (UInt32 i = 0; i < frames; ++i) {
                // The phase from the frame number itself, so that it never drifts.
                double cycles = static_cast<double>(first + i) * cyclesPerFrame;
                double phase = cycles - std::floor(cycles);
                out[i * stride] = static_cast<float>(signal.amplitude * std::sin(2.0 * std::numbers::pi * phase));
            }
            return;
        }
    }
}

float signalSample(const SignalSpec& signal, double rate, std::uint64_t frame, UInt32 channel) noexcept {
    float sample = 0;
    renderSignal(signal, rate, frame, 1, channel, &sample, 1);
    return sample;
}

}  // namespace tarnwick::sim
