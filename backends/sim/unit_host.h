#pragma once
// The audio-unit half of the boundary: one HAL output component, its
// instances, their properties, and their IO (see unit_io.h).

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "backends/sim/sim_context.h"
#include "backends/sim/unit_io.h"

namespace tarnwick::sim {

class UnitHost {
public:
    explicit UnitHost(SimContext& context) : ctx_(context) {}
    ~UnitHost() { stopAll(); }

    AudioComponent findNext(AudioComponent previous, const AudioComponentDescription* description);
    OSStatus instanceNew(AudioComponent component, AudioComponentInstance* outInstance);
    OSStatus dispose(AudioUnit unit);
    OSStatus setProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* data, UInt32 size);
    OSStatus getProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* data, UInt32* ioSize);
    OSStatus initialize(AudioUnit unit);
    OSStatus uninitialize(AudioUnit unit);
    OSStatus start(AudioUnit unit);
    OSStatus stop(AudioUnit unit);
    OSStatus render(AudioUnit unit, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* timeStamp, UInt32 bus,
                    UInt32 frames, AudioBufferList* ioData);

    // Stops every running unit (the system is closing).
    void stopAll();

    // Whether a unit with output (or with input) enabled runs IO now.
    bool runsIO(bool input);

private:
    struct Unit {
        std::uint64_t number = 0;
        UnitConfig config;
        std::shared_ptr<UnitRun> run;  // while started with IO
        bool silentlyRunning = false;  // started, but this start never calls back
        std::vector<std::shared_ptr<UnitRun>> retired;  // stopped, not yet joined (see retired_runs.h)
    };

    Unit* find(AudioUnit unit);  // under mutex_
    DeviceState* boundDevice(const UnitConfig& config) const;
    OSStatus applyProperty(Unit& unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                           const void* data, UInt32 size, std::string* valueText);
    OSStatus readProperty(Unit& unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                          void* data, UInt32* ioSize, std::string* valueText);
    // Takes the unit's running and retired runs out (under mutex_): it is stopped.
    // Stop and Uninitialize: ends the unit's IO, joining its thread.
    OSStatus halt(AudioUnit unit, Call call, const char* name, bool uninitialize);
    static std::vector<std::shared_ptr<UnitRun>> takeRuns(Unit& unit);
    // Stops runs taken out of `unit`; those that cannot be joined from here go back to it.
    void stopRuns(AudioUnit unit, std::vector<std::shared_ptr<UnitRun>> runs);

    SimContext& ctx_;
    std::mutex mutex_;
    std::map<std::uintptr_t, std::unique_ptr<Unit>> units_;
    std::uint64_t nextNumber_ = 1;
};

}  // namespace tarnwick::sim
