#pragma once

#include <string>

namespace tarnwick::sys {

// A fresh random (version 4) UUID in canonical form: upper-case hex,
// 8-4-4-4-12 with hyphens.
std::string newUUID();

}  // namespace tarnwick::sys
