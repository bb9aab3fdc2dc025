#pragma once
// `--probe`: does the output engine run IO? Starts the silent keep-alive on
// the default output device, waits for its first render and exits with
// 0 (healthy), 3 (rendered nothing, or a start failure marked noIO) or 1.
// Writes nothing to standard output.

namespace tarnwick::sys {

[[noreturn]] void runProbe();

}  // namespace tarnwick::sys
