#include "backends/model/runs.h"

namespace tarnwick::model {

void StoppedRuns::retire(Runs runs) {
    for (auto& run : runs) run->stop();
    Runs joinable;
    {
        std::lock_guard lock(mutex_);
        for (auto& run : runs) kept_.push_back(std::move(run));
        for (auto it = kept_.begin(); it != kept_.end();) {
            if ((*it)->joinWouldDeadlock()) {
                ++it;
            } else {
                joinable.push_back(std::move(*it));
                it = kept_.erase(it);
            }
        }
    }
    for (auto& run : joinable) run->join();
}

Runs StoppedRuns::joinAll(Runs runs) {
    for (auto& run : runs) run->stop();
    {
        std::lock_guard lock(mutex_);
        for (auto& run : kept_) runs.push_back(std::move(run));
        kept_.clear();
    }
    Runs left;
    for (auto& run : runs) {
        if (run->joinWouldDeadlock()) {
            left.push_back(std::move(run));
        } else {
            run->join();
        }
    }
    return left;
}

}  // namespace tarnwick::model
