// The part of Apple's CoreAudio hardware API that the CoreAudio backend
// calls, declared for building that backend off macOS against the simulated
// audio system. Names, shapes and the header they sit in are Apple's: the
// process-tap calls are not here but in AudioHardwareTapping.h, for
// Objective-C only, as on macOS.
#ifndef TARNWICK_SDK_AUDIOHARDWARE_H
#define TARNWICK_SDK_AUDIOHARDWARE_H

#include <CoreAudioTypes/CoreAudioTypes.h>
#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt32 AudioObjectID;
typedef AudioObjectID AudioDeviceID;
typedef UInt32 AudioClassID;
typedef UInt32 AudioObjectPropertySelector;
typedef UInt32 AudioObjectPropertyScope;
typedef UInt32 AudioObjectPropertyElement;

typedef struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
} AudioObjectPropertyAddress;

enum {
    kAudioObjectUnknown = 0,
    kAudioObjectSystemObject = 1,
};

enum {
    kAudioObjectPropertyScopeGlobal = 0x676c6f62,  // 'glob'
    kAudioObjectPropertyScopeInput = 0x696e7074,   // 'inpt'
    kAudioObjectPropertyScopeOutput = 0x6f757470,  // 'outp'
    kAudioObjectPropertyScopeWildcard = 0x2a2a2a2a,
    kAudioObjectPropertyElementMain = 0,
    kAudioObjectPropertySelectorWildcard = 0x2a2a2a2a,  // '****'
};
#define kAudioObjectPropertyElementWildcard 0xFFFFFFFFU

enum {
    kAudioHardwareNoError = 0,
    kAudioHardwareUnspecifiedError = 0x77686174,      // 'what'
    kAudioHardwareUnknownPropertyError = 0x77686f3f,  // 'who?'
    kAudioHardwareBadPropertySizeError = 0x2173697a,  // '!siz'
    kAudioHardwareIllegalOperationError = 0x6e6f7065, // 'nope'
    kAudioHardwareBadObjectError = 0x216f626a,        // '!obj'
};

// Selectors.
enum {
    kAudioHardwarePropertyDevices = 0x64657623,                    // 'dev#'
    kAudioHardwarePropertyDefaultInputDevice = 0x64496e20,         // 'dIn '
    kAudioHardwarePropertyDefaultOutputDevice = 0x644f7574,        // 'dOut'
    kAudioHardwarePropertyTranslateUIDToDevice = 0x75696464,       // 'uidd'
    kAudioHardwarePropertyProcessObjectList = 0x70727323,          // 'prs#'
    kAudioHardwarePropertyTranslatePIDToProcessObject = 0x69643270,  // 'id2p'
    kAudioHardwarePropertyTapList = 0x74707323,                    // 'tps#'
    kAudioObjectPropertyName = 0x6c6e616d,                         // 'lnam'
    kAudioObjectPropertyManufacturer = 0x6c6d616b,                 // 'lmak'
    kAudioDevicePropertyDeviceUID = 0x75696420,                    // 'uid '
    kAudioDevicePropertyModelUID = 0x6d756964,                     // 'muid'
    kAudioDevicePropertyNominalSampleRate = 0x6e737274,            // 'nsrt'
    kAudioDevicePropertyBufferFrameSize = 0x6673697a,              // 'fsiz'
    kAudioDevicePropertyStreamConfiguration = 0x736c6179,          // 'slay'
    kAudioDevicePropertyDeviceIsAlive = 0x6c69766e,                // 'livn'
    kAudioTapPropertyUID = 0x74756964,                             // 'tuid'
    kAudioTapPropertyFormat = 0x74666d74,                          // 'tfmt'
    kAudioProcessPropertyPID = 0x70706964,                         // 'ppid'
    kAudioProcessPropertyBundleID = 0x70626964,                    // 'pbid'
    kAudioProcessPropertyIsRunningOutput = 0x7069726f,             // 'piro'
};

// Property access.
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize);
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* ioDataSize,
                                    void* outData);
OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                    const void* inData);

typedef OSStatus (*AudioObjectPropertyListenerProc)(AudioObjectID inObjectID, UInt32 inNumberAddresses,
                                                    const AudioObjectPropertyAddress* inAddresses,
                                                    void* inClientData);
OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener, void* inClientData);
OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener, void* inClientData);

// Device IO.
typedef OSStatus (*AudioDeviceIOProc)(AudioObjectID inDevice, const AudioTimeStamp* inNow,
                                      const AudioBufferList* inInputData, const AudioTimeStamp* inInputTime,
                                      AudioBufferList* outOutputData, const AudioTimeStamp* inOutputTime,
                                      void* inClientData);
typedef AudioDeviceIOProc AudioDeviceIOProcID;

OSStatus AudioDeviceCreateIOProcID(AudioObjectID inDevice, AudioDeviceIOProc inProc, void* inClientData,
                                   AudioDeviceIOProcID* outIOProcID);
OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID);
OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);
OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);

// Aggregate devices. The description's keys are C strings: wrap them in CFSTR.
#define kAudioAggregateDeviceNameKey "name"
#define kAudioAggregateDeviceUIDKey "uid"
#define kAudioAggregateDeviceMainSubDeviceKey "master"
#define kAudioAggregateDeviceClockDeviceKey "clock"
#define kAudioAggregateDeviceIsPrivateKey "private"
#define kAudioAggregateDeviceIsStackedKey "stacked"
#define kAudioAggregateDeviceTapAutoStartKey "tapautostart"
#define kAudioAggregateDeviceSubDeviceListKey "subdevices"
#define kAudioAggregateDeviceTapListKey "taps"
#define kAudioSubDeviceUIDKey "uid"
#define kAudioSubTapUIDKey "uid"
#define kAudioSubTapDriftCompensationKey "drift"

OSStatus AudioHardwareCreateAggregateDevice(CFDictionaryRef inDescription, AudioObjectID* outDeviceID);
OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID);

#ifdef __cplusplus
}
#endif

#endif
