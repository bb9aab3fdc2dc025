#pragma once
// Stopping IO threads without deadlock. A stop waits for the IO thread to end,
// except where that wait could never return: on the IO thread itself (a stop
// from inside its own callback) or inside an item of the queue its cycles run
// on (the thread may be waiting for that very queue). Such a run has been told
// to stop, so no callback follows, and is kept to be joined by a later call
// made from a safe place, or when the system closes.

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "backends/sim/io_thread.h"
#include "frame/kit/serial_queue.h"

namespace tarnwick::sim {

template <typename Run>
bool joinCouldDeadlock(Run& run) {
    return run.io().onThisThread() || (run.queue() && run.queue()->isCurrent());
}

// Asks every run to stop, joins those that can be joined from here, and
// leaves the others in `runs`.
template <typename Run>
void stopAndJoinWhereSafe(std::vector<std::shared_ptr<Run>>& runs) {
    for (auto& run : runs) run->io().requestStop();
    std::vector<std::shared_ptr<Run>> kept;
    for (auto& run : runs) {
        if (joinCouldDeadlock(*run)) {
            kept.push_back(std::move(run));
        } else {
            run->io().join();
        }
    }
    runs = std::move(kept);
}

// Runs left over when their owner goes away; joined when the system closes.
class RetiredThreads {
public:
    void add(std::shared_ptr<void> owner, IoThread* io) {
        std::lock_guard lock(mutex_);
        retired_.emplace_back(std::move(owner), io);
    }
    template <typename Run>
    void addAll(std::vector<std::shared_ptr<Run>>& runs) {
        for (auto& run : runs) add(run, &run->io());
        runs.clear();
    }
    void joinAll() {
        std::vector<std::pair<std::shared_ptr<void>, IoThread*>> all;
        {
            std::lock_guard lock(mutex_);
            all.swap(retired_);
        }
        for (auto& entry : all) entry.second->join();
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::shared_ptr<void>, IoThread*>> retired_;
};

}  // namespace tarnwick::sim
