#pragma once
// A sample-rate converter with every conversion call traced and subject to
// the "AudioConverter" fault: the simulated system's (libsoxr underneath) and
// the call layer's over a real backend (that backend's converter underneath).

#include <atomic>
#include <memory>

#include "backends/call_layer/fault_table.h"
#include "backends/call_layer/trace.h"
#include "frame/audio/audio_system.h"
#include "frame/kit/function_ref.h"

namespace tarnwick::call_layer {

// Converters may outlive the system that made them, so they share the trace
// and the fault table rather than refer to the system. `build` makes the
// converter that does the work (null: none can be made); it is not asked when
// the "AudioConverterNew" fault hits.
std::unique_ptr<audio::SampleRateConverter> makeTracedConverter(
    double inRate, double outRate, std::shared_ptr<Trace> trace, std::shared_ptr<FaultTable> faults,
    std::uint64_t number, kit::FunctionRef<std::unique_ptr<audio::SampleRateConverter>()> build);

}  // namespace tarnwick::call_layer
