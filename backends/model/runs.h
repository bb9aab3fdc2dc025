#pragma once
// A run: the IO a started unit or IO proc does, on a thread of the backend's.
// Stopping one never waits where the wait could not return: on the run's own
// thread (a stop from inside its callback) or inside an item of the queue its
// cycles run on (the thread may be waiting for that very queue). Such a run
// has been told to stop, so no callback follows, and is kept to be joined by
// a later stop made from a safe place, or when the system closes.

#include <memory>
#include <mutex>
#include <vector>

#include "frame/audio/platform_types.h"

namespace tarnwick::model {

class Run {
public:
    Run() = default;
    virtual ~Run() = default;
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // Outside the table's lock, before the run is taken: what may take a
    // while (a server's answer). A failure is the start's status.
    virtual OSStatus open() { return 0; }
    // Under the table's lock, once the run is taken: from here on its
    // callbacks run. Never before, so that an object destroyed while its
    // start was under way is never called.
    virtual void deliver() = 0;
    // After this no callback begins.
    virtual void stop() = 0;
    // Whether waiting for the callback in progress could never return from here.
    virtual bool joinWouldDeadlock() const = 0;
    // After stop(): waits for the callback in progress.
    virtual void join() = 0;
};

using Runs = std::vector<std::shared_ptr<Run>>;

// Runs stopped and not yet joined.
class StoppedRuns {
public:
    // Stops `runs`, then joins every stopped run that can be joined from here.
    void retire(Runs runs);
    // Stops `runs` and joins them and every run kept before, where that is
    // safe; returns those that are not (a close from inside a callback).
    Runs joinAll(Runs runs);

private:
    std::mutex mutex_;
    Runs kept_;
};

}  // namespace tarnwick::model
