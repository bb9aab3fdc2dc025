#pragma once
// The simulated system's sample-rate converter: libsoxr, with every
// conversion call traced and subject to the "AudioConverter" fault.

#include <atomic>
#include <memory>

#include "backends/sim/fault_table.h"
#include "backends/sim/trace.h"
#include "frame/audio/audio_system.h"

namespace tarnwick::sim {

// Converters may outlive the system that made them, so they share the trace
// and the fault table rather than refer to the system.
std::unique_ptr<audio::SampleRateConverter> makeTracedConverter(double inRate, double outRate,
                                                                std::shared_ptr<Trace> trace,
                                                                std::shared_ptr<FaultTable> faults,
                                                                std::uint64_t number);

}  // namespace tarnwick::sim
