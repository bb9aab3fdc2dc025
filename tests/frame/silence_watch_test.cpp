// Digital silence: what counts as silent, and which run the reports speak of
// when silence, sound and decisions interleave.

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

TEST(DigitalSilence, ReportsTheRunThatWasDecidedAndItsEndOnce) {
    SilenceWatch watch(5.0);
    watch.setFrameRate(1000);
    watch.addCycle(true, 4999);
    EXPECT_FALSE(watch.dueRun());
    watch.addCycle(true, 1);
    auto first = watch.dueRun();
    ASSERT_TRUE(first);
    // Not reported (nobody was playing): its end says nothing.
    watch.addCycle(false, 10);
    EXPECT_FALSE(watch.dueRun());
    EXPECT_FALSE(watch.takeResumed());

    watch.addCycle(true, 6000);
    auto second = watch.dueRun();
    ASSERT_TRUE(second);
    EXPECT_NE(*first, *second);
    watch.markReported(*second);
    watch.addCycle(true, 1500);
    EXPECT_FALSE(watch.takeResumed());
    watch.addCycle(false, 10);
    EXPECT_EQ(watch.takeResumed(), 7.5);
    EXPECT_FALSE(watch.takeResumed());
    // Once per watch: a later long silence is not due again.
    watch.addCycle(true, 9000);
    EXPECT_FALSE(watch.dueRun());
}

}  // namespace
}  // namespace tarnwick
