#pragma once
// One-line diagnostics on standard error, "[<program>] <message>\n", each one
// line of printable text whatever the message holds.

#include <string>
#include <string_view>

namespace tarnwick {

// Set once at the very start of main, before any thread exists.
void setProgramName(std::string_view name);

// The name set last ("tarnwick" before any).
const std::string& currentProgramName();

// Callable from any thread; never fails visibly. The whole line goes to a
// single write() so lines of different threads never mix.
void log(std::string_view message);

// The same, to an arbitrary descriptor (tests use a pipe).
void logTo(int fd, std::string_view message);

}  // namespace tarnwick
