#pragma once
// The HAL output unit's instances, the same for every backend that emulates
// the unit: handle numbering, settings through UnitConfig, initialization,
// start and stop bookkeeping, the render from a unit's own callback, and the
// retiring of stopped runs. What a started unit does (which thread calls it
// back, from which device) each backend supplies as a RunningUnit.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backends/model/runs.h"
#include "backends/model/unit_config.h"

namespace tarnwick::model {

// A started unit's IO.
class RunningUnit : public Run {
public:
    explicit RunningUnit(AudioUnit handle) : handle_(handle) {}

    AudioUnit handle() const { return handle_; }

    // AudioUnitRender from inside this run's own callback. Real-time safe.
    virtual OSStatus render(const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                            AudioBufferList* ioData) noexcept = 0;
    // AudioUnitRender from anywhere else, while the unit runs.
    virtual OSStatus renderElsewhere(const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                                     AudioBufferList* ioData) noexcept;

    // The run whose callback the calling thread is in, if any.
    static RunningUnit* current() noexcept;

protected:
    // Marks the calling thread as inside this run's callback while it lives.
    class InCallback {
    public:
        explicit InCallback(RunningUnit* run) noexcept;
        ~InCallback();
        InCallback(const InCallback&) = delete;
        InCallback& operator=(const InCallback&) = delete;
    };

private:
    const AudioUnit handle_;
};

// What a backend knows about starting a unit.
class UnitStarter {
public:
    virtual ~UnitStarter() = default;
    // Under the table's lock: the run for `unit` with `config` on `device`
    // (which its config binds to, never 0). A start that succeeds but never
    // calls back leaves `run` null. `note` says what the start did.
    virtual OSStatus prepare(AudioUnit unit, const UnitConfig& config, AudioObjectID device,
                             std::shared_ptr<RunningUnit>* run, std::string* note) = 0;
};

class UnitTable {
public:
    UnitTable(const UnitDevices& devices, UnitStarter& starter) : devices_(devices), starter_(starter) {}
    ~UnitTable() { stopAll(); }
    UnitTable(const UnitTable&) = delete;
    UnitTable& operator=(const UnitTable&) = delete;

    // There is exactly one component; zero fields of `description` match anything.
    static AudioComponent findNext(AudioComponent previous, const AudioComponentDescription* description);
    OSStatus instanceNew(AudioComponent component, AudioComponentInstance* outInstance);
    OSStatus dispose(AudioUnit unit);
    OSStatus setProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* data, UInt32 size);
    OSStatus getProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* data, UInt32* ioSize);
    OSStatus initialize(AudioUnit unit);
    // An uninitialized unit cannot run: it is stopped first.
    OSStatus uninitialize(AudioUnit unit);
    // `note`, when given, says what the start did ("already running", or the starter's note).
    OSStatus start(AudioUnit unit, std::string* note = nullptr);
    OSStatus stop(AudioUnit unit);
    OSStatus render(AudioUnit unit, const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                    AudioBufferList* ioData) noexcept;

    // Whether a unit with output (or with input) enabled runs IO now.
    bool runsIO(bool input);
    // Stops every running unit (the system is closing). Returns the runs that
    // cannot be joined from here (a close from inside a callback).
    Runs stopAll();

private:
    struct Unit {
        UnitConfig config;
        std::shared_ptr<RunningUnit> run;  // while started with IO
        bool silentlyRunning = false;      // started, but this start never calls back
    };

    Unit* find(AudioUnit unit);  // under mutex_
    OSStatus halt(AudioUnit unit, bool uninitialize);

    const UnitDevices& devices_;
    UnitStarter& starter_;
    std::mutex mutex_;
    std::map<std::uintptr_t, std::unique_ptr<Unit>> units_;
    StoppedRuns stopped_;
    std::uint64_t nextNumber_ = 1;
};

}  // namespace tarnwick::model
