#pragma once
// The parts of the emulated object model that the simulator uses, under the
// names its own code has always used for them.

#include "backends/model/buffer_list.h"
#include "backends/model/limits.h"
#include "backends/model/listeners.h"
#include "backends/model/status_codes.h"
#include "backends/model/stream_formats.h"
#include "backends/model/string_refs.h"
#include "backends/model/unit_config.h"
#include "backends/model/unit_handles.h"

namespace tarnwick::sim {

using model::BufferListStorage;
using model::ListenerRegistry;
using model::StringRefs;
using model::UnitConfig;

using model::configurationBytes;
using model::floatFormat;
using model::isPlanar;

using model::componentHandle;
using model::kComponentHandle;
using model::kUnitHandleBase;
using model::unitHandle;
using model::unitName;
using model::unitNumber;

using model::kMaxBufferFrames;

using model::kBadComponentInstance;
using model::kBadDeviceError;
using model::kUnitErrCannotDoInCurrentContext;
using model::kUnitErrInvalidElement;
using model::kUnitErrInvalidPropertyValue;
using model::kUnitErrInvalidScope;
using model::kUnitErrNoConnection;
using model::kUnitErrPropertyNotWritable;
using model::kUnitErrUninitialized;

}  // namespace tarnwick::sim
