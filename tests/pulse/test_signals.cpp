#include "tests/pulse/test_signals.h"

#include <cmath>
#include <numbers>

#include "tests/support/child_process.h"

namespace tarnwick::testing::pulse {

namespace {
// Steps of 1/32768 from -1 upwards: exact in 16-bit integer and in float
// samples, so they survive a sink of either format unchanged. The cycle of
// 65536 steps is far longer than any fragment a server would lose.
constexpr std::size_t rampCycle = 65536;

float rampValue(std::size_t step) { return (static_cast<float>(step) - 32768.0f) / 32768.0f; }
}  // namespace

// The first frame carries step 1, not 0 (-1.0), and no frame is 0.0 at the
// very start, so the ramp's edges are told apart from silence.
std::size_t rampStep(std::size_t frame) { return (frame + 1) % rampCycle; }

std::vector<float> sineAndRamp(int rate, double seconds, double frequency, double amplitude) {
    auto frames = static_cast<std::size_t>(rate * seconds);
    // Never end on step 32768, whose value is 0.0 and would read as silence.
    if (rampStep(frames - 1) == 32768) --frames;
    std::vector<float> out(frames * 2);
    for (std::size_t f = 0; f < frames; ++f) {
        out[2 * f] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * double(f) / rate));
        out[2 * f + 1] = rampValue(rampStep(f));
    }
    return out;
}

std::vector<float> stereoSine(int rate, double seconds, double frequency, double left, double right) {
    auto frames = static_cast<std::size_t>(rate * seconds);
    std::vector<float> out(frames * 2);
    for (std::size_t f = 0; f < frames; ++f) {
        double s = std::sin(2 * std::numbers::pi * frequency * double(f) / rate);
        out[2 * f] = static_cast<float>(left * s);
        out[2 * f + 1] = static_cast<float>(right * s);
    }
    return out;
}

std::string writeRaw(const std::vector<float>& samples) {
    std::string bytes(reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(float));
    return writeTempFile(bytes, ".raw");
}

std::vector<float> channelOf(const std::vector<float>& interleaved, std::size_t channels, std::size_t channel) {
    std::vector<float> out;
    for (std::size_t i = channel; i < interleaved.size(); i += channels) out.push_back(interleaved[i]);
    return out;
}

ToneReport measureTone(const std::vector<float>& x, int rate) {
    ToneReport r;
    // The sounding part: from the first to the last sample well above the
    // noise floor of a 16-bit sink.
    const float floor = 1e-3f;
    std::size_t first = 0, last = 0;
    bool any = false;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (std::fabs(x[i]) > floor) {
            if (!any) first = i;
            last = i;
            any = true;
        }
    }
    if (!any) return r;
    r.soundingFrames = last - first + 1;

    std::vector<std::size_t> rising;
    for (std::size_t i = first + 1; i <= last; ++i) {
        if (x[i - 1] < 0 && x[i] >= 0) rising.push_back(i);
    }
    if (rising.size() >= 2) {
        const std::size_t a = rising.front(), b = rising.back();
        r.frequency = double(rising.size() - 1) / (double(b - a) / rate);
        double sum = 0;
        for (std::size_t i = a; i < b; ++i) sum += double(x[i]) * x[i];
        r.rms = std::sqrt(sum / double(b - a));
    }

    const std::size_t minRun = static_cast<std::size_t>(rate / 1000);
    std::size_t run = 0;
    for (std::size_t i = first; i <= last; ++i) {
        run = x[i] == 0.0f ? run + 1 : 0;
        if (run == minRun) ++r.silentRuns;
    }
    return r;
}

RampReport checkRamp(const std::vector<float>& x) {
    RampReport r;
    std::size_t first = x.size(), last = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i] != 0.0f) {
            if (first == x.size()) first = i;
            last = i;
        }
    }
    if (first == x.size()) {
        r.firstProblem = "no ramp sample at all";
        return r;
    }
    r.frames = last - first + 1;
    auto stepOf = [&](std::size_t i, std::size_t& step) {
        const double scaled = double(x[i]) * 32768.0 + 32768.0;
        if (scaled < 0 || scaled >= double(rampCycle) || scaled != std::floor(scaled)) return false;
        step = static_cast<std::size_t>(scaled);
        return true;
    };
    std::size_t previous = 0;
    for (std::size_t i = first; i <= last; ++i) {
        std::size_t step = 0;
        if (!stepOf(i, step)) {
            ++r.breaks;
            if (r.firstProblem.empty())
                r.firstProblem = "sample " + std::to_string(i) + " = " + std::to_string(x[i]) + " is no ramp step";
            continue;
        }
        if (i == first) r.firstStep = step;
        else if (step != (previous + 1) % rampCycle) {
            ++r.breaks;
            if (r.firstProblem.empty())
                r.firstProblem = "sample " + std::to_string(i) + " is step " + std::to_string(step) + " after " +
                                 std::to_string(previous);
        }
        previous = step;
        r.lastStep = step;
    }
    return r;
}

}  // namespace tarnwick::testing::pulse
