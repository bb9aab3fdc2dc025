#include "tests/support/filled_counter.h"

#include <cmath>

namespace tarnwick::testing {

namespace {
constexpr double kCounterSpan = 1048576;  // 2^20 frames, then it wraps
}

FilledCounter checkFilledCounter(const std::vector<float>& samples, std::size_t channels) {
    FilledCounter report;
    report.frames = samples.size() / channels;
    if (report.frames == 0) {
        report.firstProblem = "no frame";
        return report;
    }
    const double first = std::round(static_cast<double>(samples[0]) * kCounterSpan);
    bool inSilence = false;
    for (std::size_t i = 0; i < report.frames; ++i) {
        bool silent = true;
        bool counter = true;
        const double k = std::fmod(first + static_cast<double>(i), kCounterSpan);
        for (std::size_t c = 0; c < channels; ++c) {
            const float value = samples[i * channels + c];
            silent = silent && value == 0.0f;
            counter = counter && value == static_cast<float>(static_cast<double>(c) + k / kCounterSpan);
        }
        // Channel 0 of device frame 0 is 0 too; stereo streams tell them apart.
        if (counter && !(silent && inSilence)) {
            inSilence = false;
            continue;
        }
        if (!silent) {
            report.firstProblem = "frame " + std::to_string(i) + " is neither device frame " +
                                  std::to_string(static_cast<long long>(k)) + " nor silence";
            return report;
        }
        if (!inSilence) {
            if (report.silentRuns == 0) report.firstSilent = i;
            ++report.silentRuns;
        }
        inSilence = true;
        ++report.silentFrames;
    }
    return report;
}

::testing::AssertionResult oneFilledGap(const FilledCounter& report, std::size_t fewest, std::size_t most) {
    auto failure = [&] {
        return ::testing::AssertionFailure() << report.frames << " frames, " << report.silentRuns
                                             << " silent stretches (" << report.silentFrames << " frames, the first at "
                                             << report.firstSilent << "), problem: \"" << report.firstProblem
                                             << "\"; expected one stretch of " << fewest << " to " << most
                                             << " frames between counter frames: ";
    };
    if (!report.firstProblem.empty()) return failure() << "not a filled counter";
    if (report.silentRuns != 1) return failure() << "not one stretch";
    if (report.firstSilent == 0) return failure() << "nothing before the gap";
    if (report.frames <= report.firstSilent + report.silentFrames) return failure() << "nothing after the gap";
    if (report.silentFrames < fewest || report.silentFrames > most) return failure() << "a gap of another length";
    return ::testing::AssertionSuccess();
}

std::string filledGapLine(const std::string& who, std::size_t silentFrames) {
    return who + " skipped " + std::to_string(std::llround(double(silentFrames) / 48.0)) +
           " ms of audio — filled with silence";
}

}  // namespace tarnwick::testing
