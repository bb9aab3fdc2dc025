#pragma once
// Timed events: a thread of the simulated system that applies each scenario
// event at its time (seconds after the system was opened) and notifies the
// listeners of what changed.

#include <condition_variable>
#include <mutex>
#include <thread>

#include "backends/sim/sim_context.h"

namespace tarnwick::sim {

class EventRunner {
public:
    explicit EventRunner(SimContext& context);
    ~EventRunner() { stop(); }

    // Starts the thread when the scenario has events.
    void start();
    // Ends the thread; events not yet due never happen.
    void stop();

private:
    void run();
    void apply(const EventSpec& event);

    SimContext& ctx_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace tarnwick::sim
