#pragma once
// What every part of one simulated system shares.

#include <memory>
#include <utility>

#include "backends/sim/device_state.h"
#include "backends/sim/layer_names.h"
#include "backends/sim/model_names.h"
#include "backends/sim/process_table.h"
#include "backends/sim/retired_runs.h"
#include "backends/sim/scenario.h"

namespace tarnwick::sim {

struct SimContext {
    SimContext(Scenario s, std::shared_ptr<Trace> t, std::int64_t openNs)
        : scenario(std::move(s)),
          trace(std::move(t)),
          faults(std::make_shared<FaultTable>(scenario.faults)),
          devices(scenario, openNs),
          processes(scenario.processes, scenario.ownProcessID) {}

    const Scenario scenario;
    const std::shared_ptr<Trace> trace;         // shared with converters, which may outlive the system
    const std::shared_ptr<FaultTable> faults;   // likewise
    DeviceTable devices;
    ProcessTable processes;
    ListenerRegistry listeners;
    StringRefs strings;
    RetiredThreads retired;
};

}  // namespace tarnwick::sim
