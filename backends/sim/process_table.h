#pragma once
// The system's process objects: the scenario's other programs, whose activity
// events change, and the running program itself, whose activity follows its
// own units and IO procs.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backends/sim/scenario.h"

namespace tarnwick::sim {

class ProcessTable {
public:
    ProcessTable(const std::vector<ProcessSpec>& specs, AudioObjectID ownID);

    struct Activity {
        bool output = false;
        bool input = false;
    };

    // What the running program does now; asked on every read of its object.
    // Installed once, before the system is shared with any other thread.
    void setOwnActivity(std::function<Activity()> activity) { ownActivity_ = std::move(activity); }

    // Every process object, the running program's first.
    std::vector<AudioObjectID> ids() const;
    // Whether `id` names a process object.
    bool names(AudioObjectID id) const;
    // 0 when no process object has that PID.
    AudioObjectID idForPid(std::int32_t pid) const;

    struct View {
        std::int32_t pid;
        std::optional<std::string> bundleID;
        Activity activity;
    };
    // The process object `id` as it is now; nullopt when `id` names none.
    std::optional<View> view(AudioObjectID id) const;

    // set_process: either field may stay as it is.
    void set(std::size_t index, std::optional<bool> output, std::optional<bool> input);

private:
    struct Other {
        const ProcessSpec* spec;
        std::atomic<bool> output;
        std::atomic<bool> input;
    };

    std::vector<std::unique_ptr<Other>> others_;
    std::function<Activity()> ownActivity_;
    const AudioObjectID ownID_;
    const std::int32_t ownPid_;
};

}  // namespace tarnwick::sim
