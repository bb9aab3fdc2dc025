#pragma once
// Sample generation: what a simulated device delivers for a given device frame.
// Every kind is a pure function of (frame, channel), so any slice can be
// produced on its own and two readers of one device see the same samples.

#include <cstddef>
#include <cstdint>

#include "backends/sim/scenario.h"

namespace tarnwick::sim {

// Writes `frames` samples of `channel`, starting at device frame `first`, to
// out[0], out[stride], ... Real-time safe: no allocation, no lock.
void renderSignal(const SignalSpec& signal, double rate, std::uint64_t first, UInt32 frames, UInt32 channel,
                  float* out, std::size_t stride) noexcept;

// One sample, for tests of the generator itself.
float signalSample(const SignalSpec& signal, double rate, std::uint64_t frame, UInt32 channel) noexcept;

}  // namespace tarnwick::sim
