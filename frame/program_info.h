#pragma once
// --help and --version: the two informational answers both programs give
// without touching any audio system.

#include <string_view>

namespace tarnwick {

// The project version, as set in CMake ("1.0.0").
std::string_view projectVersion();

// Writes `text` to standard output and exits with status 0, or 1 when it
// could not be written.
[[noreturn]] void printAndExit(std::string_view text);

// "<program> <version>\n" to standard output, then as printAndExit.
[[noreturn]] void printVersionAndExit(std::string_view program);

}  // namespace tarnwick
