// Digital silence: zeros of either sign, and nothing else, wherever in the
// buffer the one exception sits.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "frame/silence_watch.h"

namespace tarnwick {
namespace {

TEST(DigitalSilence, OnlyZerosOfEitherSignAnywhereInTheBuffer) {
    std::vector<float> samples(131, 0.0f);
    samples[7] = -0.0f;
    EXPECT_TRUE(isDigitalSilence(samples.data(), samples.size()));
    for (std::size_t at : {0ul, 63ul, 64ul, 130ul}) {
        for (float value : {1e-45f, -1e-30f, std::nanf("")}) {
            auto copy = samples;
            copy[at] = value;
            EXPECT_FALSE(isDigitalSilence(copy.data(), copy.size())) << "sample " << at << " = " << value;
        }
    }
}

}  // namespace
}  // namespace tarnwick
