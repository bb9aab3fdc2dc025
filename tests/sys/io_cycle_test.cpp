// The tap's IO block fed with buffer lists the simulated tap never delivers:
// empty and missing buffers, more planar channels than announced, a right
// channel shorter than the left, cycles larger than the room prepared for
// them. The engine is started for real (on the simulator, with a tap that
// never runs IO), so its state is exactly what a start leaves behind.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "backends/sim/sim_audio_system.h"
#include "frame/audio/audio_system.h"
#include "frame/capture_error.h"
#include "frame/stdin_channel.h"
#include "frame/stream_writer.h"
#include "syscapture/process_tap_capture.h"
#include "tests/support/child_process.h"

namespace tarnwick::testing {
namespace {

using nlohmann::json;
using sys::ProcessTapCapture;

// An AudioBufferList with room for `count` buffers, laid out as the platform's.
class BufferList {
public:
    explicit BufferList(std::size_t count)
        : storage_((offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer) * std::max<std::size_t>(count, 1) +
                    sizeof(std::max_align_t) - 1) /
                   sizeof(std::max_align_t)) {
        list()->mNumberBuffers = static_cast<UInt32>(count);
    }
    AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(storage_.data()); }
    AudioBuffer& operator[](std::size_t i) { return list()->mBuffers[i]; }

private:
    std::vector<std::max_align_t> storage_;
};

// A channel of `frames` samples, value base + i, allocated to its exact size
// so that AddressSanitizer sees any read past its end.
std::unique_ptr<float[]> channel(std::size_t frames, float base) {
    auto samples = std::make_unique<float[]>(frames);
    for (std::size_t i = 0; i < frames; ++i) samples[i] = base + static_cast<float>(i);
    return samples;
}

void point(AudioBuffer& buffer, void* data, std::size_t bytes, UInt32 channels = 1) {
    buffer.mNumberChannels = channels;
    buffer.mDataByteSize = static_cast<UInt32>(bytes);
    buffer.mData = data;
}

// Planar channels, each made by channel(frames, base) and given a buffer of
// its own, in the order listed.
class PlanarInput : public BufferList {
public:
    PlanarInput(std::initializer_list<std::pair<std::size_t, float>> channels) : BufferList(channels.size()) {
        for (const auto& [frames, base] : channels) {
            samples_.push_back(channel(frames, base));
            point((*this)[samples_.size() - 1], samples_.back().get(), frames * sizeof(float));
        }
    }
    const float* samples(std::size_t i) const { return samples_[i].get(); }

private:
    std::vector<std::unique_ptr<float[]>> samples_;
};

class SysIOCycle : public ::testing::Test {
protected:
    void start(const json& tap, const std::string& tracePath = "", const json& events = json::array()) {
        json scenario = {{"devices", {{{"uid", "spk"}, {"output_channels", 2}}}}, {"tap", tap}, {"events", events}};
        scenario["tap"]["silent_starts"] = "always";
        audio::setAudioSystemForTesting(sim::openFromText(scenario.dump(), "io-cycle-test", tracePath));
        streamPath_ = tempPath(".pcm");
        fd_ = ::open(streamPath_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd_, 0);
        resetStreamForTesting(fd_);
        engine_ = std::make_shared<ProcessTapCapture>();
        engine_->startOnce();
        ASSERT_EQ(newBytes().size(), 24u) << "the start writes the header";
    }

    void TearDown() override {
        if (engine_) engine_->stop();
        engine_.reset();
        audio::setAudioSystemForTesting(nullptr);
        resetStreamForTesting(STDOUT_FILENO);
        if (fd_ >= 0) ::close(fd_);
        if (!streamPath_.empty()) ::unlink(streamPath_.c_str());
        recordGate().exchange(true);
    }

    // What the engine wrote since the last call.
    std::vector<unsigned char> newBytes() {
        std::string all = readFile(streamPath_);
        std::vector<unsigned char> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
        seen_ = all.size();
        return fresh;
    }

    std::vector<float> newSamples() {
        auto bytes = newBytes();
        std::vector<float> samples(bytes.size() / 4);
        std::memcpy(samples.data(), bytes.data(), samples.size() * 4);
        return samples;
    }

    void cycle(BufferList& input) { engine_->handleIOCycle(input.list(), nullptr); }

    std::shared_ptr<ProcessTapCapture> engine_;
    std::string streamPath_;
    int fd_ = -1;
    std::size_t seen_ = 0;
};

TEST_F(SysIOCycle, CyclesWithoutFramesAreNotCounted) {
    start({});
    auto right = channel(8, 100);
    BufferList emptyFirst(2);
    point(emptyFirst[0], right.get(), 0);
    point(emptyFirst[1], right.get(), 32);
    cycle(emptyFirst);
    BufferList noBuffers(0);
    cycle(noBuffers);
    engine_->handleIOCycle(nullptr, nullptr);

    EXPECT_EQ(engine_->callbackCount(), 0);
    EXPECT_FALSE(engine_->firstCycle().tryWait()) << "a cycle without frames proved nothing";
    EXPECT_TRUE(newBytes().empty());
}

TEST_F(SysIOCycle, MissingDataPointersCountButWriteNothing) {
    start({});
    auto samples = channel(8, 0);
    BufferList leftMissing(2);
    point(leftMissing[0], nullptr, 32);
    point(leftMissing[1], samples.get(), 32);
    cycle(leftMissing);
    BufferList rightMissing(2);
    point(rightMissing[0], samples.get(), 32);
    point(rightMissing[1], nullptr, 32);
    cycle(rightMissing);

    EXPECT_EQ(engine_->callbackCount(), 2);
    EXPECT_TRUE(engine_->firstCycle().tryWait());
    EXPECT_FALSE(engine_->firstCycle().tryWait()) << "signalled once per attempt";
    EXPECT_TRUE(newBytes().empty());
}

TEST_F(SysIOCycle, PlanarBuffersBeyondTheSecondAreIgnored) {
    start({{"format", {{"channels", 4}, {"planar", true}}}});
    PlanarInput input({{8, 0}, {8, 100}, {8, 200}, {8, 300}});
    cycle(input);
    std::vector<float> expected;
    for (int i = 0; i < 8; ++i) {
        expected.push_back(static_cast<float>(i));
        expected.push_back(100.0f + static_cast<float>(i));
    }
    EXPECT_EQ(newSamples(), expected);
}

TEST_F(SysIOCycle, ShortRightBufferIsPaddedWithSilenceNotReadPastItsEnd) {
    start({});
    PlanarInput input({{16, 0}, {10, 1000}});
    cycle(input);
    auto samples = newSamples();
    ASSERT_EQ(samples.size(), 32u) << "the left buffer sets the frame count";
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(samples[2 * i], static_cast<float>(i));
        EXPECT_EQ(samples[2 * i + 1], i < 10 ? 1000.0f + static_cast<float>(i) : 0.0f) << "frame " << i;
    }
}

TEST_F(SysIOCycle, SinglePlanarBufferIsWrittenAsItIs) {
    start({{"format", {{"channels", 1}, {"planar", true}}}});
    PlanarInput input({{12, 7}});
    cycle(input);
    EXPECT_EQ(newSamples(), std::vector<float>(input.samples(0), input.samples(0) + 12));
}

TEST_F(SysIOCycle, CycleLargerThanThePreparedRoomGoesOutWhole) {
    start({});
    constexpr std::size_t frames = 10000;  // more than any buffer size the start saw
    PlanarInput input({{frames, 0}, {frames, 20000}});
    cycle(input);
    auto samples = newSamples();
    ASSERT_EQ(samples.size(), 2 * frames);
    for (std::size_t i = 0; i < frames; ++i) {
        ASSERT_EQ(samples[2 * i], static_cast<float>(i)) << i;
        ASSERT_EQ(samples[2 * i + 1], 20000.0f + static_cast<float>(i)) << i;
    }
}

TEST_F(SysIOCycle, InterleavedBytesGoOutUnchangedInWholeFrames) {
    start({{"format", {{"channels", 2}, {"planar", false}}}});
    // Arbitrary bit patterns (NaNs, denormals): nothing may convert them.
    std::vector<unsigned char> bytes(64 * 8 + 4);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    BufferList input(1);
    point(input[0], bytes.data(), 64 * 8, 2);
    cycle(input);
    EXPECT_EQ(newBytes(), std::vector<unsigned char>(bytes.begin(), bytes.begin() + 64 * 8));

    // A trailing partial frame would shift every later sample: it stays out.
    point(input[0], bytes.data(), 64 * 8 + 4, 2);
    cycle(input);
    EXPECT_EQ(newBytes(), std::vector<unsigned char>(bytes.begin(), bytes.begin() + 64 * 8));

    point(input[0], nullptr, 64 * 8, 2);
    cycle(input);
    EXPECT_TRUE(newBytes().empty());
    EXPECT_EQ(engine_->callbackCount(), 3);
}

TEST_F(SysIOCycle, IdleCyclesAreCountedAndSignalButWriteNothing) {
    start({});
    recordGate().exchange(false);
    PlanarInput input({{8, 0}, {8, 1}});
    cycle(input);
    EXPECT_EQ(engine_->callbackCount(), 1);
    EXPECT_TRUE(engine_->firstCycle().tryWait());
    EXPECT_TRUE(newBytes().empty());

    recordGate().exchange(true);
    cycle(input);
    EXPECT_EQ(newSamples().size(), 16u);
}

// The device of a second attempt runs before the attempt can compare its
// format with the header; a cycle that comes in between must not put a sample
// of another format on the stream.
TEST_F(SysIOCycle, SecondAttemptOfAnotherFormatWritesNoSample) {
    start({}, "", {{{"at", 0.8}, {"set_sample_rate", {{"device", "spk"}, {"rate", 44100}}}}});
    engine_->teardown();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    try {
        engine_->startOnce();
        ADD_FAILURE() << "an attempt of another format must fail";
    } catch (const CaptureError& error) {
        EXPECT_EQ(error.description().rfind("format changed across start attempts (48000 Hz/2ch → 44100 Hz/2ch)", 0), 0u)
            << error.description();
    }
    PlanarInput input({{8, 0}, {8, 1}});
    cycle(input);
    EXPECT_EQ(engine_->callbackCount(), 1);
    EXPECT_TRUE(newBytes().empty());
}

TEST_F(SysIOCycle, TeardownReleasesOnceAndAFreshEngineMakesNoCall) {
    const std::string tracePath = tempPath(".trace");
    start({}, tracePath);

    const auto linesAfterStart = readLines(tracePath).size();
    auto fresh = std::make_shared<ProcessTapCapture>();
    fresh->teardown();
    fresh->stop();
    EXPECT_EQ(readLines(tracePath).size(), linesAfterStart) << "nothing built, nothing to release";

    engine_->stop();
    EXPECT_TRUE(engine_->isStopped());
    const auto linesAfterStop = readLines(tracePath).size();
    EXPECT_GT(linesAfterStop, linesAfterStart);
    engine_->stop();
    engine_->teardown();
    EXPECT_EQ(readLines(tracePath).size(), linesAfterStop) << "a second stop or teardown makes no call";
    ::unlink(tracePath.c_str());
}

}  // namespace
}  // namespace tarnwick::testing
