#include "backends/call_layer/call_layer.h"

#include <cstdlib>
#include <string>

#include "backends/call_layer/call_layer_system.h"
#include "backends/sim/run_files.h"

namespace tarnwick::call_layer {

namespace {
std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}
}  // namespace

LayerSetup layerSetupFromEnvironment() {
    std::string tracePath = environment("TARNWICK_TRACE");
    std::string faultsPath = environment("TARNWICK_FAULTS");
    LayerSetup setup;
    setup.wanted = !tracePath.empty() || !faultsPath.empty();
    if (!setup.wanted) return setup;
    setup.faults = std::make_shared<sim::FaultTable>(sim::readFaultFile(faultsPath));
    setup.trace = sim::openTrace(tracePath, "call trace");
    return setup;
}

std::shared_ptr<audio::AudioSystem> wrap(std::shared_ptr<audio::AudioSystem> inner, LayerSetup setup) {
    if (!setup.wanted || !inner) return inner;
    return std::make_shared<CallLayerSystem>(std::move(inner), std::move(setup.trace), std::move(setup.faults));
}

}  // namespace tarnwick::call_layer
