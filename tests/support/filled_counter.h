#pragma once
// Reading a counter signal back from a stream in which device time that was
// skipped became silence: the counter of the simulated system counts device
// frames, so a stream that keeps the device's timeline carries, at every
// frame, either the counter value of that device frame or silence.

#include <cstddef>
#include <string>
#include <vector>

namespace tarnwick::testing {

struct FilledCounter {
    std::size_t frames = 0;        // whole frames looked at
    std::size_t silentFrames = 0;  // frames of zeros
    std::size_t silentRuns = 0;    // stretches of them
    std::size_t firstSilent = 0;   // where the first stretch starts
    std::string firstProblem;      // empty when every frame is one or the other
};

// `samples` holds frames of `channels` samples, stream channel c carrying
// device channel c of a counter; frame 0 must be a counter frame.
FilledCounter checkFilledCounter(const std::vector<float>& samples, std::size_t channels);

}  // namespace tarnwick::testing
