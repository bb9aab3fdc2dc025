// IO procs on aggregate and scenario devices: creation, start, stop and
// destruction (the IO itself is in aggregate_io.cpp).

#include "backends/sim/hardware_objects.h"

#include "backends/sim/layer_names.h"
#include "backends/sim/sim_clock.h"

namespace tarnwick::sim {

namespace {

// IO procs are numbers dressed as the platform's handle type, never pointers
// to our objects; the trace names them proc#N.
constexpr std::uintptr_t kProcHandleBase = 0x5B000000;

AudioDeviceIOProcID procHandle(std::uint64_t number) {
    return reinterpret_cast<AudioDeviceIOProcID>(kProcHandleBase + number);
}

std::uintptr_t procKey(AudioDeviceIOProcID proc) { return reinterpret_cast<std::uintptr_t>(proc); }

std::string procName(AudioDeviceIOProcID proc) {
    std::uintptr_t value = procKey(proc);
    if (value == 0) return "none";
    return "proc#" + std::to_string(value > kProcHandleBase ? value - kProcHandleBase : 0);
}

std::string deviceArgs(AudioObjectID device, AudioDeviceIOProcID proc) {
    return std::to_string(device) + " " + procName(proc);
}

}  // namespace

OSStatus HardwareObjects::createIOProc(AudioDeviceIOProcID* outProc, AudioObjectID device, kit::SerialQueue* queue,
                                       audio::DeviceIOBlock block) {
    std::string args = std::to_string(device) + " queue=" + (queue ? quotedText(queue->label()) : "null");
    if (auto hit = ctx_.faults->check(Call::AudioDeviceCreateIOProcIDWithBlock)) {
        if (hit->nullResult && outProc) *outProc = nullptr;
        ctx_.trace->call("AudioDeviceCreateIOProcIDWithBlock", args, hit->status, "fault");
        return hit->status;
    }
    OSStatus status = 0;
    AudioDeviceIOProcID handle = nullptr;
    if (!outProc || !block) {
        status = audio::kInvalidParameterError;
    } else {
        std::lock_guard lock(mutex_);
        if (!aggregates_.count(device) && !ctx_.devices.byId(device)) {
            status = audio::kBadObjectError;
        } else {
            Proc proc;
            proc.number = nextProc_++;
            proc.device = device;
            proc.queue = queue;
            proc.block = std::move(block);
            handle = procHandle(proc.number);
            procs_.emplace(procKey(handle), std::move(proc));
        }
    }
    if (status == 0) *outProc = handle;
    ctx_.trace->call("AudioDeviceCreateIOProcIDWithBlock", args, status, status == 0 ? procName(handle) : "");
    return status;
}

std::optional<ProcLayout> HardwareObjects::layoutFor(AudioObjectID device) {
    ProcLayout layout;
    if (auto found = aggregates_.find(device); found != aggregates_.end()) {
        const Aggregate& aggregate = found->second;
        const TapSpec& tap = ctx_.scenario.tap;
        layout.clock = aggregate.main;
        layout.rate = aggregate.main->ioRate();
        layout.frames = aggregate.bufferFrames;
        if (aggregate.hasTap) layout.inputBuffers = tapInputBuffers();
        if (tap.signal) {
            layout.signal = *tap.signal;
        } else {
            const DeviceState* output = ctx_.devices.byId(ctx_.devices.defaultOutput.load());
            layout.signalSource = output ? output : aggregate.main;
        }
        if (tap.outputList) {
            UInt32 channels = aggregate.main->setup().outputChannels;
            layout.outputBuffers = channels > 0 ? std::vector<UInt32>{channels} : std::vector<UInt32>{};
        }
        return layout;
    }
    DeviceState* plain = ctx_.devices.byId(device);
    if (!plain) return std::nullopt;
    layout.clock = plain;
    layout.rate = plain->ioRate();
    layout.frames = plain->ioFrames();
    layout.inputBuffers = plain->setup().inputBuffers;
    layout.signalSource = plain;
    UInt32 channels = plain->setup().outputChannels;
    layout.outputBuffers = channels > 0 ? std::vector<UInt32>{channels} : std::vector<UInt32>{};
    return layout;
}

OSStatus HardwareObjects::startDevice(AudioObjectID device, AudioDeviceIOProcID proc) {
    std::string args = deviceArgs(device, proc);
    if (auto hit = ctx_.faults->check(Call::AudioDeviceStart)) {
        ctx_.trace->call("AudioDeviceStart", args, hit->status, "fault");
        return hit->status;
    }
    OSStatus status = 0;
    std::string result;
    {
        std::lock_guard lock(mutex_);
        auto found = procs_.find(procKey(proc));
        std::optional<ProcLayout> layout;
        if (!aggregates_.count(device) && !ctx_.devices.byId(device)) {
            status = audio::kBadObjectError;
        } else if (!proc) {
            result = "no proc";  // the hardware alone: nothing to call
        } else if (found == procs_.end() || found->second.device != device) {
            status = audio::kIllegalOperationError;
        } else if (found->second.run || found->second.silentlyRunning) {
            result = "already running";
        } else if (aggregates_.count(device) && ctx_.scenario.tap.silentStarts.silences(++aggregateStarts_)) {
            found->second.silentlyRunning = true;
            result = "silent";
        } else if ((layout = layoutFor(device))) {
            Proc& p = found->second;
            p.run = std::make_shared<ProcRun>(std::move(*layout), p.queue, p.block);
            p.run->start(monoNs());
        }
    }
    ctx_.trace->call("AudioDeviceStart", args, status, result);
    return status;
}

OSStatus HardwareObjects::stopDevice(AudioObjectID device, AudioDeviceIOProcID proc) {
    std::string args = deviceArgs(device, proc);
    if (auto hit = ctx_.faults->check(Call::AudioDeviceStop)) {
        ctx_.trace->call("AudioDeviceStop", args, hit->status, "fault");
        return hit->status;
    }
    OSStatus status = 0;
    std::vector<std::shared_ptr<ProcRun>> runs;
    {
        std::lock_guard lock(mutex_);
        auto found = procs_.find(procKey(proc));
        if (!aggregates_.count(device) && !ctx_.devices.byId(device)) {
            status = audio::kBadObjectError;
        } else if (!proc) {
            // The hardware alone: nothing runs without a proc.
        } else if (found == procs_.end() || found->second.device != device) {
            status = audio::kIllegalOperationError;
        } else {
            runs = takeRuns(found->second);
        }
    }
    stopRuns(proc, std::move(runs));
    ctx_.trace->call("AudioDeviceStop", args, status, "");
    return status;
}

OSStatus HardwareObjects::destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc) {
    std::string args = deviceArgs(device, proc);
    if (auto hit = ctx_.faults->check(Call::AudioDeviceDestroyIOProcID)) {
        ctx_.trace->call("AudioDeviceDestroyIOProcID", args, hit->status, "fault");
        return hit->status;
    }
    OSStatus status = 0;
    std::vector<std::shared_ptr<ProcRun>> runs;
    {
        std::lock_guard lock(mutex_);
        auto found = procs_.find(procKey(proc));
        if (!aggregates_.count(device) && !ctx_.devices.byId(device)) {
            status = audio::kBadObjectError;
        } else if (found == procs_.end() || found->second.device != device) {
            status = audio::kIllegalOperationError;
        } else {
            runs = takeRuns(found->second);
            procs_.erase(found);
        }
    }
    stopRuns(proc, std::move(runs));
    ctx_.trace->call("AudioDeviceDestroyIOProcID", args, status, "");
    return status;
}

std::vector<std::shared_ptr<ProcRun>> HardwareObjects::takeRuns(Proc& proc) {
    std::vector<std::shared_ptr<ProcRun>> runs = std::move(proc.retired);
    proc.retired.clear();
    if (proc.run) runs.push_back(std::move(proc.run));
    proc.silentlyRunning = false;
    return runs;
}

void HardwareObjects::stopRuns(AudioDeviceIOProcID proc, std::vector<std::shared_ptr<ProcRun>> runs) {
    stopAndJoinWhereSafe(runs);
    if (runs.empty()) return;
    std::lock_guard lock(mutex_);
    auto found = procs_.find(procKey(proc));
    if (found != procs_.end()) {
        for (auto& run : runs) found->second.retired.push_back(std::move(run));
    } else {
        ctx_.retired.addAll(runs);
    }
}

bool HardwareObjects::runsOutputIO() const {
    std::lock_guard lock(mutex_);
    for (const auto& [key, proc] : procs_) {
        if (!proc.run) continue;
        const DeviceState* device = ctx_.devices.byId(proc.device);
        if (auto found = aggregates_.find(proc.device); found != aggregates_.end()) device = found->second.main;
        if (device && device->setup().outputChannels > 0) return true;
    }
    return false;
}

void HardwareObjects::stopAll() {
    std::vector<std::shared_ptr<ProcRun>> runs;
    {
        std::lock_guard lock(mutex_);
        for (auto& [key, proc] : procs_) {
            for (auto& run : takeRuns(proc)) runs.push_back(std::move(run));
        }
    }
    stopAndJoinWhereSafe(runs);
    ctx_.retired.addAll(runs);
}

}  // namespace tarnwick::sim
