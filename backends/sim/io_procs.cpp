// IO procs on aggregate and scenario devices: creation, start, stop and
// destruction (the IO itself is in aggregate_io.cpp).

#include "backends/sim/hardware_objects.h"

#include "backends/sim/layer_names.h"

namespace tarnwick::sim {

namespace {

std::string deviceArgs(AudioObjectID device, AudioDeviceIOProcID proc) {
    return std::to_string(device) + " " + model::procName(proc);
}

}  // namespace

OSStatus HardwareObjects::createIOProc(AudioDeviceIOProcID* outProc, AudioObjectID device, kit::SerialQueue* queue,
                                       audio::DeviceIOBlock block) {
    const char* name = "AudioDeviceCreateIOProcIDWithBlock";
    std::string args = std::to_string(device) + " queue=" + (queue ? quotedText(queue->label()) : "null");
    if (auto status = fault(Call::AudioDeviceCreateIOProcIDWithBlock, name, args, outProc)) return *status;
    OSStatus status = table_.createIOProc(outProc, device, queue, std::move(block));
    ctx_.trace->call(name, args, status, status == 0 ? model::procName(*outProc) : "");
    return status;
}

ProcLayout HardwareObjects::layoutFor(AudioObjectID device, const model::Aggregate* aggregate) const {
    ProcLayout layout;
    if (aggregate) {
        DeviceState* main = ctx_.devices.byId(aggregate->main);
        const TapSpec& tap = ctx_.scenario.tap;
        layout.clock = main;
        layout.rate = main->ioRate();
        layout.frames = aggregate->bufferFrames;
        if (aggregate->hasTap) layout.inputBuffers = tapInputBuffers();
        if (tap.signal) {
            layout.signal = *tap.signal;
        } else {
            const DeviceState* output = ctx_.devices.byId(ctx_.devices.defaultOutput.load());
            layout.signalSource = output ? output : main;
        }
        if (tap.outputList) layout.outputBuffers = main->setup().outputBuffers();
        return layout;
    }
    DeviceState* plain = ctx_.devices.byId(device);
    layout.clock = plain;
    layout.rate = plain->ioRate();
    layout.frames = plain->ioFrames();
    layout.inputBuffers = plain->setup().inputBuffers;
    layout.signalSource = plain;
    layout.outputBuffers = plain->setup().outputBuffers();
    return layout;
}

OSStatus HardwareObjects::prepareProc(AudioObjectID device, const model::Aggregate* aggregate,
                                      kit::SerialQueue* queue, const audio::DeviceIOBlock& block,
                                      std::shared_ptr<model::Run>* run, std::string* note) {
    if (aggregate && ctx_.scenario.tap.silentStarts.silences(++aggregateStarts_)) {
        *note = "silent";
        return 0;
    }
    *run = std::make_shared<ProcRun>(layoutFor(device, aggregate), queue, block);
    return 0;
}

OSStatus HardwareObjects::startDevice(AudioObjectID device, AudioDeviceIOProcID proc) {
    const char* name = "AudioDeviceStart";
    std::string args = deviceArgs(device, proc);
    if (auto status = fault(Call::AudioDeviceStart, name, args)) return *status;
    std::string note;
    OSStatus status = table_.startDevice(device, proc, &note);
    ctx_.trace->call(name, args, status, note);
    return status;
}

OSStatus HardwareObjects::stopDevice(AudioObjectID device, AudioDeviceIOProcID proc) {
    return traced(Call::AudioDeviceStop, "AudioDeviceStop", deviceArgs(device, proc),
                  [&] { return table_.stopDevice(device, proc); });
}

OSStatus HardwareObjects::destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc) {
    return traced(Call::AudioDeviceDestroyIOProcID, "AudioDeviceDestroyIOProcID", deviceArgs(device, proc),
                  [&] { return table_.destroyIOProc(device, proc); });
}

bool HardwareObjects::runsOutputIO() const {
    for (AudioObjectID id : table_.hardwareRunningIO()) {
        const DeviceState* device = ctx_.devices.byId(id);
        if (device && device->setup().outputChannels > 0) return true;
    }
    return false;
}

}  // namespace tarnwick::sim
