// The render path in-process: channel averaging, slice sizes at and beyond
// the limit, the stream it writes, and what teardown releases, against a
// hand-driven audio system.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <optional>
#include <vector>

#include "frame/capture_error.h"
#include "frame/stream_writer.h"
#include "miccapture/device_queries.h"
#include "miccapture/mic_capture.h"
#include "miccapture/render_path.h"
#include "tests/mic/fake_audio_system.h"
#include "tests/support/child_process.h"

namespace tarnwick::testing::mic {
namespace {

using tarnwick::mic::averageChannels;
using tarnwick::mic::MicCapture;

// An AudioBufferList with room for `n` buffers.
struct Buffers {
    std::vector<unsigned char> memory;
    explicit Buffers(std::vector<std::vector<float>*> data) {
        memory.resize(offsetof(AudioBufferList, mBuffers) + std::max<std::size_t>(1, data.size()) * sizeof(AudioBuffer));
        list()->mNumberBuffers = UInt32(data.size());
        for (std::size_t i = 0; i < data.size(); ++i) {
            AudioBuffer& b = tarnwick::mic::buffersOf(list())[i];
            b.mNumberChannels = 1;
            b.mData = data[i] ? data[i]->data() : nullptr;
            b.mDataByteSize = data[i] ? UInt32(data[i]->size() * 4) : 0;
        }
    }
    AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(memory.data()); }
};

TEST(MicDownmix, InterleavedStereoIsTheAverage) {
    std::vector<float> interleaved{0.5f, -0.5f, 1.0f, 0.0f, -1.0f, -1.0f, 0.25f, 0.75f};
    Buffers b({&interleaved});
    std::vector<float> mono(4, 9.0f);
    averageChannels(*b.list(), false, 2, 4, mono.data());
    EXPECT_EQ(mono, (std::vector<float>{0.0f, 0.5f, -1.0f, 0.5f}));
}

TEST(MicDownmix, PlanarGivesTheSameAveragesAsInterleaved) {
    std::vector<float> left, right, middle, interleaved;
    for (int i = 0; i < 64; ++i) {
        left.push_back(std::sin(i * 0.3f));
        right.push_back(std::cos(i * 0.7f) * 0.5f);
        middle.push_back(float(i % 5) / 8);
        interleaved.insert(interleaved.end(), {left.back(), right.back(), middle.back()});
    }
    Buffers planarList({&left, &right, &middle});
    Buffers interleavedList({&interleaved});
    std::vector<float> fromPlanar(64), fromInterleaved(64);
    averageChannels(*planarList.list(), true, 3, 64, fromPlanar.data());
    averageChannels(*interleavedList.list(), false, 3, 64, fromInterleaved.data());
    for (int i = 0; i < 64; ++i) {
        EXPECT_FLOAT_EQ(fromPlanar[i], fromInterleaved[i]) << i;
        EXPECT_NEAR(fromPlanar[i], (left[i] + right[i] + middle[i]) / 3, 1e-6) << i;
    }
}

TEST(MicDownmix, OneChannelIsCopiedUnscaled) {
    std::vector<float> only{0.1f, -0.7f, 1.5f};
    Buffers b({&only});
    std::vector<float> mono(3);
    averageChannels(*b.list(), false, 1, 3, mono.data());
    EXPECT_EQ(mono, only);
    averageChannels(*b.list(), true, 1, 3, mono.data());
    EXPECT_EQ(mono, only);
}

TEST(MicDownmix, PlanarAveragesOnlyTheBuffersThatCarryData) {
    std::vector<float> left{1.0f, 0.5f}, right{0.0f, 0.25f};
    Buffers withHole({&left, nullptr, &right});
    std::vector<float> mono(2);
    averageChannels(*withHole.list(), true, 3, 2, mono.data());
    EXPECT_FLOAT_EQ(mono[0], 0.5f);
    EXPECT_FLOAT_EQ(mono[1], 0.375f);

    Buffers fewerThanChannels({&left, &right});
    averageChannels(*fewerThanChannels.list(), true, 4, 2, mono.data());
    EXPECT_FLOAT_EQ(mono[0], 0.5f);
    EXPECT_FLOAT_EQ(mono[1], 0.375f);

    Buffers onlyFirst({&left});
    averageChannels(*onlyFirst.list(), true, 2, 2, mono.data());
    EXPECT_EQ(mono, left);
}

TEST(MicDownmix, FirstBufferWithoutDataLeavesTheScratchAlone) {
    std::vector<float> right{1.0f, 1.0f};
    Buffers b({nullptr, &right});
    std::vector<float> mono{7.0f, 8.0f};
    averageChannels(*b.list(), true, 2, 2, mono.data());
    averageChannels(*b.list(), false, 2, 1, mono.data());
    EXPECT_EQ(mono, (std::vector<float>{7.0f, 8.0f}));
}

TEST(MicStreamConfiguration, CountsOnlyTheBuffersThatFit) {
    struct {
        UInt32 count;
        AudioBuffer buffers[3];
    } config{3, {{2, 0, nullptr}, {3, 0, nullptr}, {4, 0, nullptr}}};
    EXPECT_EQ(tarnwick::mic::channelsInStreamConfiguration(&config, sizeof config), 9u);
    EXPECT_EQ(tarnwick::mic::channelsInStreamConfiguration(&config, 8 + 16), 2u);
    EXPECT_EQ(tarnwick::mic::channelsInStreamConfiguration(&config, 8 + 16 + 15), 2u);
    EXPECT_EQ(tarnwick::mic::channelsInStreamConfiguration(&config, 8), 0u);
    EXPECT_EQ(tarnwick::mic::channelsInStreamConfiguration(&config, 4), 0u);
    config.count = 1;
    EXPECT_EQ(tarnwick::mic::channelsInStreamConfiguration(&config, sizeof config), 2u);
    config.count = 0;
    EXPECT_EQ(tarnwick::mic::channelsInStreamConfiguration(&config, sizeof config), 0u);
}

// The engine on the fake: the test plays the IO thread by calling deliver.
class MicEngine : public ::testing::Test {
protected:
    void SetUp() override {
        fake = std::make_shared<FakeAudioSystem>();
        audio::setAudioSystemForTesting(fake);
        // An unlinked temporary file (memfd_create is Linux only).
        const std::string path = tempPath(".stream");
        streamFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(streamFd, 0);
        ::unlink(path.c_str());
        resetStreamForTesting(streamFd);
    }
    void TearDown() override {
        engine.reset();
        audio::setAudioSystemForTesting(nullptr);
        resetStreamForTesting(STDOUT_FILENO);
        ::close(streamFd);
    }

    void startEngine(std::optional<std::string> uid = std::nullopt) {
        engine = std::make_unique<MicCapture>(std::move(uid));
        engine->start();
    }

    // A start that is expected to fail: the error it failed with, none if it started.
    std::optional<CaptureError> failedStart() {
        engine = std::make_unique<MicCapture>(std::nullopt);
        try {
            engine->start();
        } catch (const CaptureError& error) {
            return error;
        }
        return std::nullopt;
    }

    std::vector<unsigned char> stream() {
        std::vector<unsigned char> bytes(std::size_t(::lseek(streamFd, 0, SEEK_END)));
        ::pread(streamFd, bytes.data(), bytes.size(), 0);
        return bytes;
    }

    std::vector<std::string> callsAfter(const std::string& call) {
        auto all = fake->calls();
        auto it = std::find(all.begin(), all.end(), call);
        return it == all.end() ? std::vector<std::string>{} : std::vector<std::string>(it + 1, all.end());
    }

    std::shared_ptr<FakeAudioSystem> fake;
    std::unique_ptr<MicCapture> engine;
    int streamFd = -1;
};

TEST_F(MicEngine, WritesHeaderThenAveragedSlicesAndDropsWhatCameBeforeIt) {
    fake->signal = [](std::uint64_t n, UInt32 c) { return c == 0 ? float(n) : -float(n) + 1.0f; };
    startEngine();
    // The slice delivered during the start came before the header: dropped.
    ASSERT_EQ(stream().size(), 24u);
    EXPECT_EQ(fake->deliver(256), 0);
    EXPECT_EQ(fake->deliver(100), 0);
    auto samples = decodeSamples(stream());
    ASSERT_EQ(samples.size(), 356u);
    for (float s : samples) ASSERT_EQ(s, 0.5f);
    EXPECT_TRUE(fake->renderSizesRight());
    auto header = decodeHeader(stream());
    EXPECT_EQ(header->sampleRate, 48000);
    EXPECT_EQ(header->framesPerBuffer, 512);
}

TEST_F(MicEngine, PlanarClientFormatWritesTheSameAverages) {
    fake->rejectInterleaved = true;
    fake->channels = 4;
    fake->signal = [](std::uint64_t, UInt32 c) { return float(c); };  // average 1.5
    startEngine();
    EXPECT_EQ(fake->deliver(512), 0);
    auto samples = decodeSamples(stream());
    ASSERT_EQ(samples.size(), 512u);
    for (float s : samples) ASSERT_EQ(s, 1.5f);
    EXPECT_TRUE(fake->renderSizesRight());
}

TEST_F(MicEngine, SliceOfZeroFramesRendersAndWritesNothing) {
    startEngine();
    int before = fake->renders();
    EXPECT_EQ(fake->deliver(0), 0);
    EXPECT_EQ(fake->renders(), before);
    EXPECT_EQ(stream().size(), 24u);
}

TEST_F(MicEngine, SliceOfExactlyTheLimitIsRenderedAndLargerOnesAreDropped) {
    startEngine();
    int before = fake->renders();
    EXPECT_EQ(fake->deliver(4096), 0);
    EXPECT_EQ(fake->renders(), before + 1);
    EXPECT_EQ(stream().size(), 24u + 4096 * 4);
    EXPECT_EQ(fake->deliver(4097), 0);
    EXPECT_EQ(fake->deliver(8192), 0);
    EXPECT_EQ(fake->renders(), before + 1);
    EXPECT_EQ(stream().size(), 24u + 4096 * 4);
    EXPECT_TRUE(fake->renderSizesRight());
}

TEST_F(MicEngine, CallbackBeforeAnyUnitDoesNothing) {
    engine = std::make_unique<MicCapture>(std::nullopt);
    AudioTimeStamp stamp{};
    AudioUnitRenderActionFlags flags = 0;
    EXPECT_EQ(MicCapture::inputCallback(engine.get(), &flags, &stamp, 1, 512, nullptr), 0);
    EXPECT_EQ(fake->renders(), 0);
}

TEST_F(MicEngine, StopTearsDownInReverseOrderOnceAndLateCallbacksDoNothing) {
    startEngine();
    fake->deliver(512);
    engine->stop();
    EXPECT_EQ(callsAfter("AudioOutputUnitStart"),
              (std::vector<std::string>{"listen dIn ", "listen nsrt", "unlisten nsrt", "unlisten dIn ",
                                        "AudioOutputUnitStop", "AudioUnitUninitialize",
                                        "AudioComponentInstanceDispose"}));
    EXPECT_EQ(fake->registrations(), 0u) << "each removal named its registration";
    auto size = stream().size();
    int renders = fake->renders();
    EXPECT_EQ(fake->deliver(512), 0);
    EXPECT_EQ(fake->renders(), renders);
    EXPECT_EQ(stream().size(), size);
    auto calls = fake->calls().size();
    engine->stop();
    EXPECT_EQ(fake->calls().size(), calls) << "a second stop does nothing";
}

TEST_F(MicEngine, DestroyingTheEngineEndsItsListenerRegistrations) {
    startEngine();
    EXPECT_EQ(fake->registrations(), 2u);
    engine.reset();
    EXPECT_EQ(fake->registrations(), 0u);
}

TEST_F(MicEngine, ChosenDeviceInstallsOnlyTheRateListener) {
    startEngine("fake-mic");
    auto calls = fake->calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "listen dIn "), 0);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "listen nsrt"), 1);
}

TEST_F(MicEngine, FailedInitializeIsDisposedWithoutStopOrUninitialize) {
    fake->initializeStatus = -10875;
    const auto error = failedStart();
    ASSERT_TRUE(error) << "start succeeded";
    EXPECT_EQ(error->description(), "AudioUnitInitialize failed (-10875)");
    EXPECT_FALSE(error->noIO());
    engine->stop();
    EXPECT_EQ(callsAfter("AudioUnitInitialize"), std::vector<std::string>{"AudioComponentInstanceDispose"});
}

// More channels than the byte count of one interleaved slice can describe:
// refused as an unusable format instead of overflowing the buffer sizes.
TEST_F(MicEngine, FormatTooWideForASliceIsRefused) {
    fake->channels = 300000;
    const auto error = failedStart();
    ASSERT_TRUE(error) << "start succeeded";
    EXPECT_EQ(error->description(), "could not read device input format (0)");
}

TEST_F(MicEngine, FailingUnitStopStillUninitializesAndDisposes) {
    fake->stopStatus = -50;
    startEngine();
    engine->stop();
    auto after = callsAfter("unlisten dIn ");
    EXPECT_EQ(after, (std::vector<std::string>{"AudioOutputUnitStop", "AudioUnitUninitialize",
                                               "AudioComponentInstanceDispose"}));
    // The unit still "runs": its late callback finds no unit and touches nothing.
    EXPECT_EQ(fake->deliver(512), 0);
}

TEST_F(MicEngine, OtherRatesAreResampledTo48000) {
    fake->rate = 44100;
    fake->channels = 1;
    fake->signal = [](std::uint64_t n, UInt32) { return float(std::sin(2 * M_PI * 1000 * double(n) / 44100)) * 0.5f; };
    startEngine();
    for (int i = 0; i < 100; ++i) ASSERT_EQ(fake->deliver(441), 0);  // one second
    auto samples = decodeSamples(stream());
    // One second and the start's slice went in (that slice's output, before
    // the header, was dropped); the filter still holds a little.
    EXPECT_GT(samples.size(), 47000u);
    EXPECT_LE(samples.size(), (44100u + 512) * 48000 / 44100 + 64);
    float peak = 0;
    for (std::size_t i = 4800; i < samples.size(); ++i) peak = std::max(peak, std::fabs(samples[i]));
    EXPECT_NEAR(peak, 0.5f, 0.01f);
}

}  // namespace
}  // namespace tarnwick::testing::mic
