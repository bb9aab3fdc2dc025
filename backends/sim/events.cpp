#include "backends/sim/events.h"

#include <chrono>

#include "backends/sim/sim_clock.h"

namespace tarnwick::sim {

EventRunner::EventRunner(SimContext& context) : ctx_(context) {}

void EventRunner::start() {
    if (ctx_.scenario.events.empty()) return;
    thread_ = std::thread([this] { run(); });
}

void EventRunner::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void EventRunner::run() {
    // steady_clock is CLOCK_MONOTONIC here, the clock of monoNs().
    using Clock = std::chrono::steady_clock;
    for (const EventSpec& event : ctx_.scenario.events) {
        auto dueNs = ctx_.devices.openNs() + static_cast<std::int64_t>(event.at * 1e9);
        Clock::time_point due{std::chrono::nanoseconds(dueNs)};
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_until(lock, due, [this] { return stopping_; })) return;
        }
        apply(event);
    }
    // Stay until stopped: a program that exits without closing the system then
    // leaves a waiting thread rather than a finished one nobody joined.
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return stopping_; });
}

void EventRunner::apply(const EventSpec& event) {
    ctx_.trace->line("EVENT " + traceSafe(event.actionJson.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)));
    DeviceState* device = event.device ? &ctx_.devices.at(*event.device) : nullptr;
    switch (event.action) {
        case EventSpec::Action::setDefaultInput:
            ctx_.devices.defaultInput.store(device ? device->id() : 0);
            ctx_.listeners.notify(audio::kSystemObject, audio::kPropDefaultInputDevice);
            break;
        case EventSpec::Action::setDefaultOutput:
            ctx_.devices.defaultOutput.store(device ? device->id() : 0);
            ctx_.listeners.notify(audio::kSystemObject, audio::kPropDefaultOutputDevice);
            break;
        case EventSpec::Action::setSampleRate:
            device->setNominalRate(event.value, monoNs());
            ctx_.listeners.notify(device->id(), audio::kPropNominalSampleRate);
            break;
        case EventSpec::Action::stall:
            device->stallUntilNs.store(monoNs() + static_cast<std::int64_t>(event.value * 1e9),
                                       std::memory_order_release);
            break;
        case EventSpec::Action::renderError:
            device->armRenderErrors(event.status, event.times);
            break;
        case EventSpec::Action::setSignal:
            device->setSignal(event.signal);
            break;
        case EventSpec::Action::setProcess:
            ctx_.processes.set(event.process, event.runningOutput, event.runningInput);
            break;
    }
}

}  // namespace tarnwick::sim
