#pragma once
// The files a run reads or writes beside the audio system itself: the
// scenario, a faults file, the trace. Each failure is one ScenarioError line,
// "<subject>: <path>: cannot ... (<reason>)".

#include <memory>
#include <string>
#include <vector>

#include "backends/sim/layer_names.h"
#include "backends/sim/scenario.h"

namespace tarnwick::sim {

// The whole file; `what` names it in the error ("the scenario file").
std::string readTextFile(const std::string& path, const std::string& subject, const std::string& what);

// A trace appending to `path`; empty path: a disabled trace.
std::shared_ptr<Trace> openTrace(const std::string& path, const std::string& subject);

// The FAULT objects of a faults file; empty path: none.
std::vector<FaultSpec> readFaultFile(const std::string& path);

}  // namespace tarnwick::sim
