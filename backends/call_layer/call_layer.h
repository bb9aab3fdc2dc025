#pragma once
// The call layer: tracing and fault injection over whichever audio system
// runs, for the real backends what the simulated system does inside itself
// (with the same trace, fault table and converter wrapper, which live here).
// The programs insert it only when TARNWICK_TRACE or TARNWICK_FAULTS is set,
// so a run without them pays nothing for it.

#include <memory>

#include "backends/call_layer/fault_table.h"
#include "backends/call_layer/trace.h"
#include "frame/audio/audio_system.h"

namespace tarnwick::call_layer {

// The layer over `inner`. The trace and the fault table are shared with the
// converters the layer hands out, which may outlive it.
std::shared_ptr<audio::AudioSystem> wrap(std::shared_ptr<audio::AudioSystem> inner, std::shared_ptr<Trace> trace,
                                         std::shared_ptr<FaultTable> faults);

}  // namespace tarnwick::call_layer
