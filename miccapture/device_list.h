#pragma once
// --list: the input devices as a pretty-printed JSON array on standard output.

#include <string>

namespace tarnwick::mic {

// The JSON text of the list (without the trailing newline).
std::string deviceListJson();

// Writes the list and a newline to standard output and ends the process:
// status 0, or 1 after "could not write device list to stdout".
[[noreturn]] void listInputDevices();

}  // namespace tarnwick::mic
