#include "backends/sim/device_state.h"

#include <cmath>

namespace tarnwick::sim {

namespace {
double clockRateFor(std::optional<double> rate) { return rate && *rate > 0 ? *rate : kFallbackIoRate; }
}  // namespace

DeviceState::DeviceState(const DeviceSpec& setup, std::size_t index, std::int64_t openNs)
    : spec_(setup),
      index_(index),
      rate_(setup.sampleRate ? *setup.sampleRate : -1.0),
      signal_(&setup.signal),
      clockBaseNs_(openNs),
      clockRate_(clockRateFor(setup.sampleRate)) {}

std::optional<double> DeviceState::nominalRate() const noexcept {
    double rate = rate_.load(std::memory_order_acquire);
    if (rate < 0) return std::nullopt;
    return rate;
}

void DeviceState::setNominalRate(double rate, std::int64_t nowNs) {
    std::lock_guard lock(clockMutex_);
    clockBaseFrame_ += static_cast<double>(nowNs - clockBaseNs_) * clockRate_ / 1e9;
    clockBaseNs_ = nowNs;
    clockRate_ = clockRateFor(rate);
    rate_.store(rate, std::memory_order_release);
}

double DeviceState::ioRate() const noexcept { return clockRateFor(nominalRate()); }

std::uint64_t DeviceState::frameAt(std::int64_t ns) const {
    std::lock_guard lock(clockMutex_);
    double frames = clockBaseFrame_ + static_cast<double>(ns - clockBaseNs_) * clockRate_ / 1e9;
    return frames > 0 ? static_cast<std::uint64_t>(std::floor(frames)) : 0;
}

void DeviceState::armRenderErrors(OSStatus status, std::optional<std::uint64_t> times) noexcept {
    renderErrorStatus_.store(status, std::memory_order_relaxed);
    renderErrorsLeft_.store(times ? static_cast<std::int64_t>(*times) : -1, std::memory_order_release);
}

std::optional<OSStatus> DeviceState::takeRenderError() noexcept {
    std::int64_t left = renderErrorsLeft_.load(std::memory_order_acquire);
    while (left != 0) {
        if (left < 0) return renderErrorStatus_.load(std::memory_order_relaxed);
        if (renderErrorsLeft_.compare_exchange_weak(left, left - 1, std::memory_order_acq_rel)) {
            return renderErrorStatus_.load(std::memory_order_relaxed);
        }
    }
    return std::nullopt;
}

DeviceTable::DeviceTable(const Scenario& scenario, std::int64_t openNs) : openNs_(openNs) {
    for (std::size_t i = 0; i < scenario.devices.size(); ++i) {
        devices_.push_back(std::make_unique<DeviceState>(scenario.devices[i], i, openNs));
        DeviceState* device = devices_.back().get();
        byId_.emplace(device->id(), device);
        if (device->setup().uid) byUid_.emplace(*device->setup().uid, device);
    }
    if (scenario.defaultInput) defaultInput.store(devices_[*scenario.defaultInput]->id());
    if (scenario.defaultOutput) defaultOutput.store(devices_[*scenario.defaultOutput]->id());
}

DeviceState* DeviceTable::byId(AudioObjectID id) const noexcept {
    auto found = byId_.find(id);
    return found == byId_.end() ? nullptr : found->second;
}

DeviceState* DeviceTable::byUid(std::string_view uid) const noexcept {
    auto found = byUid_.find(uid);
    return found == byUid_.end() ? nullptr : found->second;
}

}  // namespace tarnwick::sim
