#include "backends/coreaudio/callbacks.h"

#include <CoreAudio/CoreAudio.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarnwick::coreaudio {

namespace {

struct Listener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    kit::SerialQueue* queue;
    audio::PropertyListenerBlock block;
    // Cleared once the registration is removed. The platform may be inside
    // propertyChanged for it even then, so the record stays; `queueing`
    // keeps a notification from handing an item to a queue that its owner
    // destroys right after the removal.
    std::mutex queueing;
    bool removed = false;                   // guarded by queueing
    std::shared_ptr<std::atomic<bool>> live = std::make_shared<std::atomic<bool>>(true);
};

struct IOProc {
    kit::SerialQueue* queue;
    audio::DeviceIOBlock block;
    // Cleared before AudioDeviceStop is forwarded: a cycle that was waiting
    // for the queue when the stop came must not run after it.
    std::atomic<bool> running{false};
};

// The platform keeps the client data pointers we register. A notification
// may still be running for a listener as it is removed, and an IO thread may
// still be leaving a cycle when its proc is destroyed, so every record lives
// as long as the process.
struct Records {
    std::mutex mutex;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::vector<std::unique_ptr<IOProc>> procs;
    std::unordered_map<AudioDeviceIOProcID, IOProc*> procByID;
};

Records& records() {
    static Records* all = new Records();  // never destroyed: see above
    return *all;
}

// Keeps `record` in `list`, one of the records' lists, and returns it. A
// record is kept before it is registered: the platform may call back before
// the registering call returns.
template <typename Record>
Record* keep(std::vector<std::unique_ptr<Record>>& list, std::unique_ptr<Record> record) {
    Record* raw = record.get();
    std::lock_guard lock(records().mutex);
    list.push_back(std::move(record));
    return raw;
}

bool matches(UInt32 registered, UInt32 changed, UInt32 wildcard) {
    return registered == wildcard || changed == wildcard || registered == changed;
}

// One notification may carry addresses the listener did not register for.
bool concerns(const AudioObjectPropertyAddress& registered, UInt32 count, const AudioObjectPropertyAddress* changed) {
    for (UInt32 i = 0; i < count; ++i) {
        if (matches(registered.mSelector, changed[i].mSelector, kAudioObjectPropertySelectorWildcard) &&
            matches(registered.mScope, changed[i].mScope, kAudioObjectPropertyScopeWildcard) &&
            matches(registered.mElement, changed[i].mElement, kAudioObjectPropertyElementWildcard)) {
            return true;
        }
    }
    return false;
}

OSStatus propertyChanged(AudioObjectID, UInt32 inNumberAddresses, const AudioObjectPropertyAddress* inAddresses,
                         void* inClientData) {
    Listener* listener = static_cast<Listener*>(inClientData);
    if (inAddresses == nullptr || !concerns(listener->address, inNumberAddresses, inAddresses)) return noErr;
    std::vector<AudioObjectPropertyAddress> addresses(inAddresses, inAddresses + inNumberAddresses);
    {
        std::lock_guard lock(listener->queueing);
        if (listener->removed) return noErr;
        if (listener->queue != nullptr) {
            listener->queue->async([block = listener->block, live = listener->live, addresses = std::move(addresses)] {
                if (live->load()) block(static_cast<UInt32>(addresses.size()), addresses.data());
            });
            return noErr;
        }
    }
    // No queue: called here, outside the lock, so that the block may remove
    // its own registration.
    listener->block(inNumberAddresses, addresses.data());
    return noErr;
}

OSStatus ioCycle(AudioObjectID, const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
                 const AudioTimeStamp* inInputTime, AudioBufferList* outOutputData, const AudioTimeStamp* inOutputTime,
                 void* inClientData) {
    IOProc* proc = static_cast<IOProc*>(inClientData);
    auto run = [&] {
        if (!proc->running.load()) return;
        proc->block(inNow, inInputData, inInputTime, outOutputData, inOutputTime);
    };
    // Synchronous: the buffers belong to this call of the IO thread.
    if (proc->queue != nullptr) {
        proc->queue->sync(run);
    } else {
        run();
    }
    return noErr;
}

IOProc* procFor(AudioDeviceIOProcID id) {
    Records& all = records();
    std::lock_guard lock(all.mutex);
    auto found = all.procByID.find(id);
    return found == all.procByID.end() ? nullptr : found->second;
}

}  // namespace

OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                             kit::SerialQueue* queue, audio::PropertyListenerBlock block) {
    if (address == nullptr || !block) return kAudioHardwareIllegalOperationError;
    auto listener = std::make_unique<Listener>();
    listener->object = object;
    listener->address = *address;
    listener->queue = queue;
    listener->block = std::move(block);
    Listener* raw = keep(records().listeners, std::move(listener));
    const OSStatus status = AudioObjectAddPropertyListener(object, address, propertyChanged, raw);
    if (status != noErr) {
        std::lock_guard lock(raw->queueing);
        raw->removed = true;  // never to be found by a removal
    }
    return status;
}

OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                kit::SerialQueue* queue, const audio::PropertyListenerBlock& block) {
    if (address == nullptr || !block) return kAudioHardwareIllegalOperationError;
    Listener* found = nullptr;
    {
        Records& all = records();
        std::lock_guard lock(all.mutex);
        for (const auto& listener : all.listeners) {
            std::lock_guard queueing(listener->queueing);
            if (!listener->removed && listener->object == object && listener->queue == queue &&
                listener->block == block && listener->address.mSelector == address->mSelector &&
                listener->address.mScope == address->mScope && listener->address.mElement == address->mElement) {
                found = listener.get();
                break;
            }
        }
    }
    if (found == nullptr) return kAudioHardwareIllegalOperationError;
    const OSStatus status = AudioObjectRemovePropertyListener(object, address, propertyChanged, found);
    if (status == noErr) {
        std::lock_guard lock(found->queueing);
        found->removed = true;
        found->live->store(false);
    }
    return status;
}

OSStatus createIOProc(AudioDeviceIOProcID* outIOProcID, AudioObjectID device, kit::SerialQueue* queue,
                      audio::DeviceIOBlock block) {
    if (outIOProcID == nullptr || !block) return kAudioHardwareIllegalOperationError;
    auto proc = std::make_unique<IOProc>();
    proc->queue = queue;
    proc->block = std::move(block);
    IOProc* raw = keep(records().procs, std::move(proc));
    AudioDeviceIOProcID id = nullptr;
    const OSStatus status = AudioDeviceCreateIOProcID(device, ioCycle, raw, &id);
    if (status == noErr && id != nullptr) {
        Records& all = records();
        std::lock_guard lock(all.mutex);
        all.procByID[id] = raw;
    }
    *outIOProcID = id;
    return status;
}

OSStatus startIOProc(AudioObjectID device, AudioDeviceIOProcID proc) {
    if (IOProc* record = procFor(proc)) record->running.store(true);
    return AudioDeviceStart(device, proc);
}

OSStatus stopIOProc(AudioObjectID device, AudioDeviceIOProcID proc) {
    if (IOProc* record = procFor(proc)) record->running.store(false);
    return AudioDeviceStop(device, proc);
}

OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc) {
    IOProc* record = procFor(proc);
    if (record) record->running.store(false);
    const OSStatus status = AudioDeviceDestroyIOProcID(device, proc);
    if (status == noErr && record) {
        Records& all = records();
        std::lock_guard lock(all.mutex);
        all.procByID.erase(proc);
    }
    return status;
}

}  // namespace tarnwick::coreaudio
