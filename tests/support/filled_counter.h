#pragma once
// Reading a counter signal back from a stream in which device time that was
// skipped became silence: the counter of the simulated system counts device
// frames, so a stream that keeps the device's timeline carries, at every
// frame, either the counter value of that device frame or silence.

#include <gtest/gtest.h>

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

// Success when the counter ran before and after exactly one stretch of
// silence of `fewest` to `most` frames; else a failure that says what came.
::testing::AssertionResult oneFilledGap(const FilledCounter& report, std::size_t fewest, std::size_t most);

// The line that announces `silentFrames` frames at 48 kHz filled with
// silence: "<who> skipped <ms> ms of audio — filled with silence".
std::string filledGapLine(const std::string& who, std::size_t silentFrames);

}  // namespace tarnwick::testing
