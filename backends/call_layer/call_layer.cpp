#include "backends/call_layer/call_layer.h"

#include "backends/call_layer/call_layer_system.h"

namespace tarnwick::call_layer {

std::shared_ptr<audio::AudioSystem> wrap(std::shared_ptr<audio::AudioSystem> inner, std::shared_ptr<Trace> trace,
                                         std::shared_ptr<FaultTable> faults) {
    return std::make_shared<CallLayerSystem>(std::move(inner), std::move(trace), std::move(faults));
}

}  // namespace tarnwick::call_layer
