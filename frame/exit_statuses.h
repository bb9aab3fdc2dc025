#pragma once
// The exit statuses a parent tells the outcomes of a run by.

namespace tarnwick {

// An orderly stop, or a one-shot mode (list, probe, help) that did its work.
inline constexpr int cleanExitStatus = 0;
// A start or a one-shot mode that failed.
inline constexpr int failedExitStatus = 1;
// A command line the microphone program cannot run.
inline constexpr int usageExitStatus = 2;
// The platform accepted the start but never ran IO.
inline constexpr int noIOExitStatus = 3;

}  // namespace tarnwick
