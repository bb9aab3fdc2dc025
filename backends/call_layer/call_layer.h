#pragma once
// The call layer: tracing and fault injection over whichever audio system
// runs, for the real backends what the simulated system does inside itself.
// TARNWICK_TRACE names the trace file, TARNWICK_FAULTS a JSON array of FAULT
// objects; with neither set the layer is not inserted at all, so a run
// without them pays nothing for it.

#include <memory>

#include "backends/sim/fault_table.h"
#include "backends/sim/trace.h"
#include "frame/audio/audio_system.h"

namespace tarnwick::call_layer {

struct LayerSetup {
    std::shared_ptr<sim::Trace> trace;        // shared with converters, which may outlive the layer
    std::shared_ptr<sim::FaultTable> faults;  // likewise
    bool wanted = false;                      // false: neither variable is set
};

// Reads TARNWICK_TRACE and TARNWICK_FAULTS (empty counts as absent). A file
// that cannot be used throws sim::ScenarioError with its one log line. Read
// before the backend opens, so that a bad file is reported whatever the
// backend makes of the machine.
LayerSetup layerSetupFromEnvironment();

// `inner` itself when the setup is not wanted; otherwise the layer over it.
std::shared_ptr<audio::AudioSystem> wrap(std::shared_ptr<audio::AudioSystem> inner, LayerSetup setup);

}  // namespace tarnwick::call_layer
