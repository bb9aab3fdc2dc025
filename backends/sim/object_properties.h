#pragma once
// Audio objects and their properties: the system object, the scenario's
// devices, and the taps and aggregate devices made at run time.

#include <optional>
#include <string>
#include <vector>

#include "backends/model/property_value.h"
#include "backends/sim/hardware_objects.h"
#include "backends/sim/sim_context.h"

namespace tarnwick::sim {

class ObjectProperties {
public:
    ObjectProperties(SimContext& context, HardwareObjects& objects) : ctx_(context), objects_(objects) {}

    // The qualifier a read passes along (a PID for 'id2p'); most reads have none.
    struct Qualifier {
        UInt32 size = 0;
        const void* data = nullptr;
    };

    OSStatus getSize(AudioObjectID object, const AudioObjectPropertyAddress* address, Qualifier qualifier,
                     UInt32* outSize);
    OSStatus get(AudioObjectID object, const AudioObjectPropertyAddress* address, Qualifier qualifier, UInt32* ioSize,
                 void* outData);
    OSStatus set(AudioObjectID object, const AudioObjectPropertyAddress* address, UInt32 size, const void* data);
    OSStatus addListener(AudioObjectID object, const AudioObjectPropertyAddress* address, kit::SerialQueue* queue,
                         audio::PropertyListenerBlock block);
    OSStatus removeListener(AudioObjectID object, const AudioObjectPropertyAddress* address, kit::SerialQueue* queue,
                            const audio::PropertyListenerBlock& block);

private:
    using Value = model::PropertyValue;

    Value read(AudioObjectID object, const AudioObjectPropertyAddress& address, Qualifier qualifier) const;
    // Reads that concern process objects (process_properties.cpp); nullopt for any other.
    std::optional<Value> processRead(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     Qualifier qualifier) const;
    Value systemValue(AudioObjectPropertySelector selector) const;
    Value deviceValue(const DeviceState& device, const AudioObjectPropertyAddress& address) const;
    Value aggregateValue(const HardwareObjects::AggregateInfo& aggregate, const AudioObjectPropertyAddress& address) const;
    bool exists(AudioObjectID object) const;
    // The fault injected into `call` on `address`, if any; not yet traced.
    std::optional<FaultHit> faultFor(Call call, const AudioObjectPropertyAddress* address) const;
    // A listener call, fault-checked and traced.
    template <typename Operation>
    OSStatus listenerCall(Call call, AudioObjectID object, const AudioObjectPropertyAddress* address,
                          kit::SerialQueue* queue, Operation operation);

    SimContext& ctx_;
    HardwareObjects& objects_;
};

}  // namespace tarnwick::sim
