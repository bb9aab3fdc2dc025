#pragma once
// The call layer's trace and fault injection, which the simulator weaves into
// its own calls, under the names its own code has always used for them.

#include "backends/call_layer/call_names.h"
#include "backends/call_layer/fault_table.h"
#include "backends/call_layer/trace.h"
#include "backends/call_layer/trace_text.h"
#include "backends/call_layer/traced_converter.h"

namespace tarnwick::sim {

using call_layer::Call;
using call_layer::FaultHit;
using call_layer::FaultScope;
using call_layer::FaultSpec;
using call_layer::FaultTable;
using call_layer::PropertyKind;
using call_layer::Trace;
using call_layer::callFromName;
using call_layer::callName;
using call_layer::kCallCount;
using call_layer::propertyKindOf;

using call_layer::addressArgs;
using call_layer::formatText;
using call_layer::fourCCText;
using call_layer::jsonLine;
using call_layer::listText;
using call_layer::makeTracedConverter;
using call_layer::numberText;
using call_layer::qualifierText;
using call_layer::quotedText;
using call_layer::traceSafe;
using call_layer::unitScopeText;
using call_layer::unitValueText;

}  // namespace tarnwick::sim
