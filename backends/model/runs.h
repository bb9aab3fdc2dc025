#pragma once
// A run: the IO a started unit or IO proc does, on a thread of the backend's.
// Stopping one never waits where the wait could not return: on the run's own
// thread (a stop from inside its callback) or inside an item of the queue its
// cycles run on (the thread may be waiting for that very queue). Such a run
// has been told to stop, so no callback follows, and is kept to be joined by
// a later stop made from a safe place, or when the system closes.

#include <memory>
#include <mutex>
#include <string>
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
    // The same for one run taken out of its owner, if it had one.
    void retire(std::shared_ptr<Run> run) {
        if (run) retire(Runs{std::move(run)});
    }
    // Stops `runs` and joins them and every run kept before, where that is
    // safe; returns those that are not (a close from inside a callback).
    Runs joinAll(Runs runs);

private:
    std::mutex mutex_;
    Runs kept_;
};

// Takes the run out of every owner in `owners`, under `mutex`: each entry
// `ownerOf` maps to something with a `run` and a `silentlyRunning` member.
// All are stopped then.
template <typename Owners, typename OwnerOf>
Runs takeRuns(std::mutex& mutex, Owners& owners, OwnerOf ownerOf) {
    Runs runs;
    std::lock_guard lock(mutex);
    for (auto& entry : owners) {
        auto& owner = ownerOf(entry);
        if (owner.run) runs.push_back(std::move(owner.run));
        owner.silentlyRunning = false;
    }
    return runs;
}

// The second half of a start prepared under a table's `mutex`: opens `run`
// outside the lock (a server may take a while to answer), then under it
// hands the run to the object `find` returns, which has a `run` and a
// `silentlyRunning` member; from there on the run delivers. An object gone
// meanwhile fails the start with `gone`; one that another start got going
// meanwhile leaves this start "already running". A run not taken is retired.
template <typename R, typename Find>
OSStatus openAndTake(std::mutex& mutex, StoppedRuns& stopped, std::shared_ptr<R> run, Find find, OSStatus gone,
                     std::string* note) {
    OSStatus status = run->open();
    if (status == 0) {
        std::lock_guard lock(mutex);
        auto* owner = find();
        if (owner && !owner->run && !owner->silentlyRunning) {
            // Under the lock: a stop or destroy that follows finds the run
            // delivering, and stops it.
            run->deliver();
            owner->run = std::move(run);
            return 0;
        }
        status = owner ? 0 : gone;
        if (owner && note) *note = "already running";
    }
    stopped.retire(Runs{std::move(run)});
    return status;
}

}  // namespace tarnwick::model
