#pragma once
// The aggregate-device description: the boundary's JSON object becomes the
// CFDictionary that AudioHardwareCreateAggregateDevice takes, keyed with
// Apple's constants.

#include <nlohmann/json.hpp>

#include "backends/coreaudio/cf_ref.h"

namespace tarnwick::coreaudio {

// Empty when the description holds something a property list cannot carry
// (null, text that is not UTF-8) or is not an object.
CFRef<CFDictionaryRef> aggregateDescription(const nlohmann::json& description);

}  // namespace tarnwick::coreaudio
