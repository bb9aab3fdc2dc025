#pragma once
// Runs that could not be joined where they were stopped (a stop from inside
// their own callback) and whose owner has gone: joined when the system closes.

#include <memory>
#include <mutex>
#include <vector>

#include "backends/model/runs.h"

namespace tarnwick::sim {

class RetiredThreads {
public:
    void addAll(model::Runs runs) {
        std::lock_guard lock(mutex_);
        for (auto& run : runs) retired_.push_back(std::move(run));
    }
    void joinAll() {
        model::Runs all;
        {
            std::lock_guard lock(mutex_);
            all.swap(retired_);
        }
        for (auto& run : all) run->join();
    }

private:
    std::mutex mutex_;
    model::Runs retired_;
};

}  // namespace tarnwick::sim
