// What the digital-silence check adds to one IO cycle: the pass over a
// 512-frame planar stereo cycle plus the watch's bookkeeping, on silence (the
// whole pass, the worst case) and on audio (which stops at the first chunk).
// A 512-frame cycle lasts 10.7 ms at 48000 Hz.
//
// Run: build-*/bench/silence_bench  (figures only; nothing is asserted)

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "frame/silence_watch.h"

namespace {

using namespace tarnwick;

constexpr UInt32 cycleFrames = 512;

void BM_SilenceCheck(benchmark::State& state) {
    const bool silent = state.range(0) == 0;
    std::vector<float> left(cycleFrames, 0.0f), right(cycleFrames, -0.0f);
    if (!silent) {
        for (UInt32 i = 0; i < cycleFrames; ++i) left[i] = right[i] = 0.25f * float(std::sin(0.13 * i));
    }
    std::vector<std::max_align_t> storage(
        (offsetof(AudioBufferList, mBuffers) + 2 * sizeof(AudioBuffer) + sizeof(std::max_align_t) - 1) /
        sizeof(std::max_align_t));
    auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
    auto* buffers = reinterpret_cast<AudioBuffer*>(reinterpret_cast<unsigned char*>(list) +
                                                   offsetof(AudioBufferList, mBuffers));
    list->mNumberBuffers = 2;
    buffers[0] = {1, cycleFrames * 4, left.data()};
    buffers[1] = {1, cycleFrames * 4, right.data()};

    SilenceWatch watch(5.0);
    watch.setFrameRate(48000);
    for (auto _ : state) {
        benchmark::DoNotOptimize(list);
        const bool result = isDigitalSilence(*list);
        watch.addCycle(result, cycleFrames);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * cycleFrames);
    state.SetLabel(silent ? "planar stereo 512 frames, silence (full pass)" : "planar stereo 512 frames, audio");
}
BENCHMARK(BM_SilenceCheck)->Arg(0)->Arg(1)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
