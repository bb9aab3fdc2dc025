#pragma once
// Known signals to play into a real server, and what to measure in what comes
// back: a sine's frequency and level, and a ramp whose every sample is a
// distinct step, so that a lost, repeated or reordered sample shows.

#include <cstddef>
#include <string>
#include <vector>

namespace tarnwick::testing::pulse {

// Interleaved stereo: a sine of `amplitude` on the left channel, the ramp on
// the right one, `seconds` long at `rate`.
std::vector<float> sineAndRamp(int rate, double seconds, double frequency, double amplitude);

// Interleaved stereo: the same sine with a different amplitude per channel.
std::vector<float> stereoSine(int rate, double seconds, double frequency, double left, double right);

// Writes raw float32 little-endian samples to a temporary file; its path.
std::string writeRaw(const std::vector<float>& samples);

std::vector<float> channelOf(const std::vector<float>& interleaved, std::size_t channels, std::size_t channel);

struct ToneReport {
    double frequency = 0;  // from rising zero crossings over the sounding part
    double rms = 0;        // over the same whole periods
    std::size_t soundingFrames = 0;
    // Runs of at least 1 ms of digital silence (an exact 0.0) inside the
    // sounding part: the sign of a gap that was filled in.
    std::size_t silentRuns = 0;
};
ToneReport measureTone(const std::vector<float>& channel, int rate);

struct RampReport {
    std::size_t frames = 0;  // from the first ramp sample seen to the last
    std::size_t breaks = 0;  // places where the next sample is not the next step
    std::size_t firstStep = 0, lastStep = 0;
    std::string firstProblem;
};
RampReport checkRamp(const std::vector<float>& channel);

// The ramp step of the first and the last frame that sineAndRamp writes.
std::size_t rampStep(std::size_t frame);

}  // namespace tarnwick::testing::pulse
