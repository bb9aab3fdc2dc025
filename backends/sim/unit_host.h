#pragma once
// The audio-unit half of the boundary: the shared unit table with the
// scenario's devices behind it, each call fault-checked and traced. Its IO
// is in unit_io.h.

#include <memory>
#include <optional>
#include <string>

#include "backends/model/unit_table.h"
#include "backends/sim/sim_context.h"
#include "backends/sim/unit_io.h"

namespace tarnwick::sim {

class UnitHost final : private model::UnitStarter {
public:
    explicit UnitHost(SimContext& context) : ctx_(context), devices_(context.devices), table_(devices_, *this) {}
    ~UnitHost() override { stopAll(); }

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
    bool runsIO(bool input) { return table_.runsIO(input); }

private:
    OSStatus prepare(AudioUnit unit, const UnitConfig& config, AudioObjectID device,
                     std::shared_ptr<model::RunningUnit>* run, std::string* note) override;
    // The injected fault for `call` on `unit`, traced; none: nullopt.
    std::optional<OSStatus> fault(Call call, const char* name, AudioUnit unit);
    // A call on one unit that only reports its status.
    OSStatus traced(Call call, const char* name, AudioUnit unit, OSStatus (model::UnitTable::*operation)(AudioUnit));

    SimContext& ctx_;
    ScenarioUnitDevices devices_;
    model::UnitTable table_;
};

}  // namespace tarnwick::sim
