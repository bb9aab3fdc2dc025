// How server chunks become IO cycles: every cycle has the one fixed size, the
// frames come out once each and in order, a hole is silence of its own length,
// and a cycle that lies whole inside a chunk is handed over without a copy.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "backends/pulse/cycle_assembler.h"

namespace tarnwick::pulse {
namespace {

constexpr std::size_t kFrameBytes = 8;  // float stereo

struct Cycles {
    std::vector<float> samples;
    std::vector<UInt32> sizes;
    std::vector<const unsigned char*> addresses;

    auto sink() {
        return [this](const unsigned char* data, UInt32 frames) {
            const std::size_t count = std::size_t{frames} * 2;
            const std::size_t at = samples.size();
            samples.resize(at + count);
            std::memcpy(samples.data() + at, data, count * sizeof(float));
            sizes.push_back(frames);
            addresses.push_back(data);
        };
    }
};

std::vector<float> counting(std::size_t frames, float from) {
    std::vector<float> samples(frames * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = from + static_cast<float>(i);
    return samples;
}

const unsigned char* bytes(const std::vector<float>& samples) {
    return reinterpret_cast<const unsigned char*>(samples.data());
}

TEST(CycleAssembler, IrregularChunksBecomeWholeCyclesInOrder) {
    CycleAssembler assembler;
    assembler.allocate(10, kFrameBytes);
    Cycles out;
    // 3 + 9 + 25 + 3 frames: cycles straddle chunks, and the third chunk
    // completes one cycle, holds a whole one and starts the last.
    const std::vector<std::size_t> chunks{3, 9, 25, 3};
    std::vector<std::vector<float>> fed;
    float next = 0;
    for (std::size_t frames : chunks) {
        fed.push_back(counting(frames, next));
        next += static_cast<float>(frames * 2);
        assembler.feed(bytes(fed.back()), frames, out.sink());
    }
    EXPECT_EQ(out.sizes, (std::vector<UInt32>{10, 10, 10, 10}));
    EXPECT_EQ(out.samples, counting(40, 0));
    // The third chunk's first 8 frames complete a cycle; its next 10 are a
    // whole cycle, passed in place.
    EXPECT_EQ(out.addresses[2], bytes(fed[2]) + 8 * kFrameBytes);
}

TEST(CycleAssembler, HolesBecomeSilenceOfTheirOwnLength) {
    CycleAssembler assembler;
    assembler.allocate(4, kFrameBytes);
    Cycles out;
    const std::vector<float> first = counting(3, 1);
    const std::vector<float> last = counting(3, 100);
    assembler.feed(bytes(first), 3, out.sink());
    assembler.feed(nullptr, 6, out.sink());
    assembler.feed(bytes(last), 3, out.sink());

    std::vector<float> expected = first;
    expected.resize(expected.size() + 12, 0.0f);
    expected.insert(expected.end(), last.begin(), last.end());
    EXPECT_EQ(out.sizes, (std::vector<UInt32>{4, 4, 4}));
    EXPECT_EQ(out.samples, expected);
}

}  // namespace
}  // namespace tarnwick::pulse
