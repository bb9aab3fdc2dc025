#include "backends/sim/process_table.h"

#include <unistd.h>

namespace tarnwick::sim {

ProcessTable::ProcessTable(const std::vector<ProcessSpec>& specs, AudioObjectID ownID)
    : ownID_(ownID), ownPid_(static_cast<std::int32_t>(::getpid())) {
    for (const ProcessSpec& spec : specs) {
        auto other = std::make_unique<Other>();
        other->spec = &spec;
        other->output.store(spec.runningOutput);
        other->input.store(spec.runningInput);
        others_.push_back(std::move(other));
    }
}

std::vector<AudioObjectID> ProcessTable::ids() const {
    std::vector<AudioObjectID> ids{ownID_};
    for (const auto& other : others_) ids.push_back(other->spec->id);
    return ids;
}

bool ProcessTable::names(AudioObjectID id) const {
    if (id == ownID_) return true;
    for (const auto& other : others_) {
        if (other->spec->id == id) return true;
    }
    return false;
}

AudioObjectID ProcessTable::idForPid(std::int32_t pid) const {
    // The running program first, should a scenario have reused its PID.
    if (pid == ownPid_) return ownID_;
    for (const auto& other : others_) {
        if (other->spec->pid == pid) return other->spec->id;
    }
    return 0;
}

std::optional<ProcessTable::View> ProcessTable::view(AudioObjectID id) const {
    if (id == ownID_) {
        return View{ownPid_, std::nullopt, ownActivity_ ? ownActivity_() : Activity{}};
    }
    for (const auto& other : others_) {
        if (other->spec->id == id) {
            return View{other->spec->pid, other->spec->bundleID, Activity{other->output.load(), other->input.load()}};
        }
    }
    return std::nullopt;
}

void ProcessTable::set(std::size_t index, std::optional<bool> output, std::optional<bool> input) {
    if (index >= others_.size()) return;
    if (output) others_[index]->output.store(*output);
    if (input) others_[index]->input.store(*input);
}

}  // namespace tarnwick::sim
