// What one IO period costs on the two real-time paths, with the PCM going to
// /dev/null so that the figure is the engine's own work plus one write():
//   - the system-audio IO block on a planar stereo cycle of 512 frames;
//   - the microphone input callback on a 512-frame stereo interleaved slice,
//     at 48000 Hz (no converter) and 44100 Hz (resampled to 48000 Hz).
// A 512-frame period lasts 10.7 ms at 48000 Hz; these figures should be a
// tiny fraction of that.
//
// Run: build-*/bench/io_path_bench  (figures only; nothing is asserted)

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "backends/sim/sim_audio_system.h"
#include "frame/audio/audio_system.h"
#include "frame/log.h"
#include "frame/stream_writer.h"
#include "miccapture/mic_capture.h"
#include "miccapture/render_path.h"
#include "syscapture/process_tap_capture.h"
#include "tests/mic/fake_audio_system.h"

namespace {

using namespace tarnwick;

constexpr UInt32 sliceFrames = 512;

// The PCM stream on /dev/null, and stderr silenced while the engines log
// their start and first cycles; both restored when the benchmark ends.
class QuietStream {
public:
    QuietStream() : null_(::open("/dev/null", O_RDWR | O_CLOEXEC)), savedStderr_(::dup(STDERR_FILENO)) {
        resetStreamForTesting(null_);
        ::dup2(null_, STDERR_FILENO);
    }
    ~QuietStream() {
        resetStreamForTesting(STDOUT_FILENO);
        ::dup2(savedStderr_, STDERR_FILENO);
        ::close(savedStderr_);
        ::close(null_);
    }
    QuietStream(const QuietStream&) = delete;
    QuietStream& operator=(const QuietStream&) = delete;

    // The engines write the header in their start; should one not have,
    // open the stream here so that writePcm really writes.
    static bool ensureHeader(std::int32_t rate, std::int32_t channels) {
        return headerWritten() || writeHeader(rate, channels, 32, sliceFrames);
    }

private:
    int null_;
    int savedStderr_;
};

std::vector<float> sine(std::size_t frames, double rate, double hz, float amplitude) {
    std::vector<float> out(frames);
    for (std::size_t i = 0; i < frames; ++i) out[i] = amplitude * float(std::sin(2 * M_PI * hz * double(i) / rate));
    return out;
}

// ---- System audio: the tap's IO block --------------------------------------

void BM_SysIOCycle(benchmark::State& state) {
    // A tap that never runs IO by itself: the benchmark is the only caller
    // of the IO block, as the simulator's IO thread would be.
    const std::string scenario = R"({"devices": [{"uid": "spk", "output_channels": 2}],
        "tap": {"format": {"channels": 2, "planar": true}, "silent_starts": "always"}})";
    audio::setAudioSystemForTesting(sim::openFromText(scenario, "io-path-bench", ""));
    bool ready = false;
    {
        QuietStream quiet;
        auto engine = std::make_shared<sys::ProcessTapCapture>();
        engine->startOnce();
        ready = QuietStream::ensureHeader(48000, 2);

        auto left = sine(sliceFrames, 48000, 1000, 0.25f);
        auto right = sine(sliceFrames, 48000, 500, 0.25f);
        std::vector<std::max_align_t> storage(
            (offsetof(AudioBufferList, mBuffers) + 2 * sizeof(AudioBuffer) + sizeof(std::max_align_t) - 1) /
            sizeof(std::max_align_t));
        auto* input = reinterpret_cast<AudioBufferList*>(storage.data());
        input->mNumberBuffers = 2;
        mic::buffersOf(input)[0] = {1, sliceFrames * 4, left.data()};
        mic::buffersOf(input)[1] = {1, sliceFrames * 4, right.data()};

        // Past the log lines of the first five cycles and of cycle 500.
        for (int i = 0; i < 600; ++i) engine->handleIOCycle(input, nullptr);
        for (auto _ : state) {
            engine->handleIOCycle(input, nullptr);
            benchmark::ClobberMemory();
        }
        engine->stop();
    }
    audio::setAudioSystemForTesting(nullptr);
    if (!ready) state.SkipWithError("the PCM stream could not be opened");
    state.SetItemsProcessed(state.iterations() * sliceFrames);
    state.SetLabel("planar stereo, 512 frames per cycle");
}
BENCHMARK(BM_SysIOCycle)->Unit(benchmark::kMicrosecond);

// ---- Microphone: the unit's input callback ---------------------------------

// The hand-driven fake with a render that copies prepared audio: the fake's
// own per-sample signal function and bookkeeping would otherwise dominate.
class PreparedAudioSystem : public testing::mic::FakeAudioSystem {
public:
    explicit PreparedAudioSystem(double deviceRate) {
        rate = deviceRate;
        channels = 2;
        // One second of interleaved stereo, replayed slice after slice.
        auto left = sine(std::size_t(deviceRate), deviceRate, 1000, 0.25f);
        auto right = sine(std::size_t(deviceRate), deviceRate, 440, 0.25f);
        audio_.resize(2 * left.size());
        for (std::size_t i = 0; i < left.size(); ++i) {
            audio_[2 * i] = left[i];
            audio_[2 * i + 1] = right[i];
        }
    }

    OSStatus AudioUnitRender(AudioUnit, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32 frames,
                             AudioBufferList* list) override {
        const std::size_t total = audio_.size() / 2;
        if (position_ + frames > total) position_ = 0;
        std::memcpy(mic::buffersOf(list)[0].mData, audio_.data() + 2 * position_, std::size_t(frames) * 8);
        position_ += frames;
        return 0;
    }

private:
    std::vector<float> audio_;
    std::size_t position_ = 0;
};

void BM_MicRenderSlice(benchmark::State& state) {
    const double deviceRate = double(state.range(0));
    auto system = std::make_shared<PreparedAudioSystem>(deviceRate);
    audio::setAudioSystemForTesting(system);
    bool ready = false;
    {
        QuietStream quiet;
        auto engine = std::make_unique<mic::MicCapture>(std::nullopt);
        engine->start();
        ready = QuietStream::ensureHeader(48000, 1);

        AudioTimeStamp stamp{};
        AudioUnitRenderActionFlags flags = 0;
        // Let the converter's filter fill before measuring.
        for (int i = 0; i < 100; ++i) mic::MicCapture::inputCallback(engine.get(), &flags, &stamp, 1, sliceFrames, nullptr);
        for (auto _ : state) {
            OSStatus status =
                mic::MicCapture::inputCallback(engine.get(), &flags, &stamp, 1, sliceFrames, nullptr);
            benchmark::DoNotOptimize(status);
        }
        engine->stop();
    }
    audio::setAudioSystemForTesting(nullptr);
    if (!ready) state.SkipWithError("the PCM stream could not be opened");
    state.SetItemsProcessed(state.iterations() * sliceFrames);
    state.SetLabel(deviceRate == 48000 ? "stereo interleaved 48000 Hz, no converter"
                                       : "stereo interleaved 44100 Hz, converted to 48000 Hz");
}
BENCHMARK(BM_MicRenderSlice)->Arg(48000)->Arg(44100)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    tarnwick::setProgramName("io_path_bench");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
