#pragma once
// Platform status codes that emulated backends return beyond those the programs name.

#include "frame/audio/platform_types.h"

namespace tarnwick::model {

constexpr OSStatus kBadDeviceError = 560227702;  // '!dev'
constexpr OSStatus kBadComponentInstance = static_cast<OSStatus>(0x80008001);
constexpr OSStatus kUnitErrInvalidPropertyValue = -10851;
constexpr OSStatus kUnitErrCannotDoInCurrentContext = -10863;
constexpr OSStatus kUnitErrPropertyNotWritable = -10865;
constexpr OSStatus kUnitErrInvalidScope = -10866;
constexpr OSStatus kUnitErrUninitialized = -10867;
constexpr OSStatus kUnitErrNoConnection = -10876;
constexpr OSStatus kUnitErrInvalidElement = -10877;

}  // namespace tarnwick::model
