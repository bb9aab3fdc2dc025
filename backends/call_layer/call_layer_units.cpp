// Audio units, renders and sample-rate converters through the call layer.

#include "backends/call_layer/call_layer_system.h"
#include "backends/call_layer/trace_text.h"
#include "backends/call_layer/traced_converter.h"

namespace tarnwick::call_layer {

namespace {

std::string propertyArgs(const std::string& unit, AudioUnitPropertyID id, AudioUnitScope scope,
                         AudioUnitElement element) {
    return unit + " prop=" + std::to_string(id) + " scope=" + unitScopeText(scope) +
           " element=" + std::to_string(element);
}

}  // namespace

AudioComponent CallLayerSystem::AudioComponentFindNext(AudioComponent inComponent,
                                                       const AudioComponentDescription* inDesc) {
    auto args = [&] {
        std::string text = components_.name("component", handleKey(inComponent));
        if (inDesc) {
            for (UInt32 code : {inDesc->componentType, inDesc->componentSubType, inDesc->componentManufacturer}) {
                text += ' ';
                text += fourCCText(code);
            }
        }
        return text;
    };
    if (auto hit = faults_->check(Call::AudioComponentFindNext)) {
        faulted("AudioComponentFindNext", args, *hit, "none fault");
        return nullptr;
    }
    AudioComponent found = inner_->AudioComponentFindNext(inComponent, inDesc);
    if (found && !components_.numberOf(handleKey(found))) components_.add(handleKey(found));
    traceCall("AudioComponentFindNext", args, 0, [&] { return components_.name("component", handleKey(found)); });
    return found;
}

OSStatus CallLayerSystem::AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance) {
    auto args = [&] { return components_.name("component", handleKey(inComponent)); };
    if (auto hit = faults_->check(Call::AudioComponentInstanceNew)) {
        if (hit->nullResult && outInstance) *outInstance = nullptr;
        return faulted("AudioComponentInstanceNew", args, *hit, hit->nullResult ? "none fault" : "fault");
    }
    OSStatus status = inner_->AudioComponentInstanceNew(inComponent, outInstance);
    if (status == 0 && outInstance) units_.add(handleKey(*outInstance));
    traceCall("AudioComponentInstanceNew", args, status,
              [&] { return status == 0 && outInstance ? unitName(*outInstance) : std::string(); });
    return status;
}

OSStatus CallLayerSystem::AudioComponentInstanceDispose(AudioComponentInstance inInstance) {
    std::string name = trace_->enabled() ? unitName(inInstance) : std::string();
    auto args = [&] { return name; };
    if (auto hit = faults_->check(Call::AudioComponentInstanceDispose)) {
        return faulted("AudioComponentInstanceDispose", args, *hit);
    }
    OSStatus status = inner_->AudioComponentInstanceDispose(inInstance);
    if (status == 0) units_.remove(handleKey(inInstance));
    traceCall("AudioComponentInstanceDispose", args, status);
    return status;
}

OSStatus CallLayerSystem::AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                               AudioUnitElement inElement, const void* inData, UInt32 inDataSize) {
    auto args = [&] { return propertyArgs(unitName(inUnit), inID, inScope, inElement); };
    if (auto hit = faults_->check(Call::AudioUnitSetProperty, inID, FaultTable::unitScope(inScope))) {
        return faulted("AudioUnitSetProperty", args, *hit);
    }
    OSStatus status = inner_->AudioUnitSetProperty(inUnit, inID, inScope, inElement, inData, inDataSize);
    traceCall("AudioUnitSetProperty", [&] {
        std::string value = inData ? unitValueText(inID, inData, inDataSize) : std::string();
        return value.empty() ? args() : args() + " value=" + value;
    }, status);
    return status;
}

OSStatus CallLayerSystem::AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                               AudioUnitElement inElement, void* outData, UInt32* ioDataSize) {
    auto args = [&] { return propertyArgs(unitName(inUnit), inID, inScope, inElement); };
    if (auto hit = faults_->check(Call::AudioUnitGetProperty, inID, FaultTable::unitScope(inScope))) {
        return faulted("AudioUnitGetProperty", args, *hit);
    }
    OSStatus status = inner_->AudioUnitGetProperty(inUnit, inID, inScope, inElement, outData, ioDataSize);
    traceCall("AudioUnitGetProperty", args, status, [&] {
        return status == 0 && outData && ioDataSize ? unitValueText(inID, outData, *ioDataSize) : std::string();
    });
    return status;
}

OSStatus CallLayerSystem::AudioUnitInitialize(AudioUnit inUnit) {
    return passDown(Call::AudioUnitInitialize, [&] { return unitName(inUnit); },
                    [&] { return inner_->AudioUnitInitialize(inUnit); });
}

OSStatus CallLayerSystem::AudioUnitUninitialize(AudioUnit inUnit) {
    return passDown(Call::AudioUnitUninitialize, [&] { return unitName(inUnit); },
                    [&] { return inner_->AudioUnitUninitialize(inUnit); });
}

OSStatus CallLayerSystem::AudioOutputUnitStart(AudioUnit ci) {
    return passDown(Call::AudioOutputUnitStart, [&] { return unitName(ci); },
                    [&] { return inner_->AudioOutputUnitStart(ci); });
}

OSStatus CallLayerSystem::AudioOutputUnitStop(AudioUnit ci) {
    return passDown(Call::AudioOutputUnitStop, [&] { return unitName(ci); },
                    [&] { return inner_->AudioOutputUnitStop(ci); });
}

OSStatus CallLayerSystem::AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                                          const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber,
                                          UInt32 inNumberFrames, AudioBufferList* ioData) {
    // The IO thread's path: the fault check and the trace line allocate
    // nothing and take no lock.
    OSStatus status;
    const char* note = "";
    if (auto hit = faults_->check(Call::AudioUnitRender)) {
        status = hit->status;
        note = " fault";
    } else {
        status = inner_->AudioUnitRender(inUnit, ioActionFlags, inTimeStamp, inOutputBusNumber, inNumberFrames, ioData);
    }
    if (trace_->enabled()) {
        double sample = inTimeStamp ? inTimeStamp->mSampleTime : -1;
        trace_->linef("AudioUnitRender unit#%llu bus=%u frames=%u sample=%.0f -> %d%s",
                      static_cast<unsigned long long>(units_.numberOf(handleKey(inUnit))),
                      static_cast<unsigned>(inOutputBusNumber), static_cast<unsigned>(inNumberFrames), sample,
                      static_cast<int>(status), note);
    }
    return status;
}

std::unique_ptr<audio::SampleRateConverter> CallLayerSystem::makeConverter(double inRate, double outRate) {
    return makeTracedConverter(inRate, outRate, trace_, faults_, nextConverter_.fetch_add(1),
                                    [&] { return inner_->makeConverter(inRate, outRate); });
}

}  // namespace tarnwick::call_layer
