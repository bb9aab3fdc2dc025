#pragma once
// The scenario's devices at run time: what the scenario fixed, plus the state
// that events change (nominal rate, stalls, render errors, defaults) and the
// per-device frame clock that all IO of the device counts by.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "backends/sim/scenario.h"

namespace tarnwick::sim {

class DeviceState {
public:
    DeviceState(const DeviceSpec& setup, std::size_t index, std::int64_t openNs);

    const DeviceSpec& setup() const { return spec_; }
    std::size_t index() const { return index_; }
    AudioObjectID id() const { return spec_.id; }

    // The nominal rate as a reader sees it; nullopt while unreadable.
    std::optional<double> nominalRate() const noexcept;
    // Changes the nominal rate; frames counted so far stay counted.
    void setNominalRate(double rate, std::int64_t nowNs);

    // What IO of this device runs at: the nominal rate, or 48000 Hz when that
    // is unreadable or 0; slices of buffer_frames, or 512 when unreadable.
    double ioRate() const noexcept;
    UInt32 ioFrames() const noexcept { return spec_.bufferFrames.value_or(kFallbackIoFrames); }

    // The device frame that is due at `ns`: frames counted from the moment
    // the system was opened, at the rate in force at each moment.
    std::uint64_t frameAt(std::int64_t ns) const;

    // What the device delivers (or plays) now: its scenario signal until a
    // set_signal event names another, which lives as long as the scenario.
    const SignalSpec& signal() const noexcept { return *signal_.load(std::memory_order_acquire); }
    void setSignal(const SignalSpec& signal) noexcept { signal_.store(&signal, std::memory_order_release); }

    // IO delivers nothing before this time (0: no stall).
    std::atomic<std::int64_t> stallUntilNs{0};

    // Successful unit starts on this device so far (for silent_starts).
    std::atomic<std::uint64_t> unitStarts{0};

    // The next `times` renders (nullopt: all) fail with `status`.
    void armRenderErrors(OSStatus status, std::optional<std::uint64_t> times) noexcept;
    // Takes one armed render error. Real-time safe.
    std::optional<OSStatus> takeRenderError() noexcept;

private:
    const DeviceSpec& spec_;
    std::size_t index_;
    std::atomic<double> rate_;  // negative: unreadable
    std::atomic<const SignalSpec*> signal_;

    mutable std::mutex clockMutex_;
    std::int64_t clockBaseNs_;
    double clockBaseFrame_ = 0;
    double clockRate_;

    std::atomic<OSStatus> renderErrorStatus_{0};
    std::atomic<std::int64_t> renderErrorsLeft_{0};  // negative: unlimited
};

class DeviceTable {
public:
    DeviceTable(const Scenario& scenario, std::int64_t openNs);

    std::int64_t openNs() const { return openNs_; }
    const std::vector<std::unique_ptr<DeviceState>>& all() const { return devices_; }
    DeviceState& at(std::size_t index) const { return *devices_[index]; }
    DeviceState* byId(AudioObjectID id) const noexcept;
    DeviceState* byUid(std::string_view uid) const noexcept;

    std::atomic<AudioObjectID> defaultInput{0};
    std::atomic<AudioObjectID> defaultOutput{0};

private:
    std::int64_t openNs_;
    std::vector<std::unique_ptr<DeviceState>> devices_;
    // Every property read looks its object up: with many devices a scan per
    // read would make listing them quadratic.
    std::unordered_map<AudioObjectID, DeviceState*> byId_;
    std::unordered_map<std::string_view, DeviceState*> byUid_;  // views of the devices' own UIDs
};

}  // namespace tarnwick::sim
