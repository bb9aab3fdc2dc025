#pragma once
// The audio platform's own record layouts. On macOS they come from Apple's
// headers; elsewhere the project declares layout-compatible twins so that the
// code above the boundary reads and writes exactly the same bytes everywhere.

#include <cstddef>
#include <cstdint>

// The CoreAudio backend's Linux build over the simulated system compiles
// everything against the project's own rendering of Apple's declarations
// (tests/coreaudio_sdk), exactly as a macOS build uses Apple's.
#if defined(__APPLE__) || defined(TARNWICK_COREAUDIO_OVER_SIM)
#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/CoreAudio.h>
#else

using OSStatus = std::int32_t;
using UInt32 = std::uint32_t;
using SInt32 = std::int32_t;
using UInt64 = std::uint64_t;
using Float64 = double;
using Boolean = unsigned char;

using AudioObjectID = UInt32;
using AudioDeviceID = AudioObjectID;
using AudioObjectPropertySelector = UInt32;
using AudioObjectPropertyScope = UInt32;
using AudioObjectPropertyElement = UInt32;
using AudioUnitPropertyID = UInt32;
using AudioUnitScope = UInt32;
using AudioUnitElement = UInt32;
using AudioUnitRenderActionFlags = UInt32;
using AudioFormatID = UInt32;
using AudioFormatFlags = UInt32;

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector mSelector;
    AudioObjectPropertyScope mScope;
    AudioObjectPropertyElement mElement;
};

struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
};

struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void* mData;
};

// Variable length: the platform allocates room for mNumberBuffers entries.
struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
};

struct SMPTETime {
    std::int16_t mSubframes;
    std::int16_t mSubframeDivisor;
    UInt32 mCounter;
    UInt32 mType;
    UInt32 mFlags;
    std::int16_t mHours;
    std::int16_t mMinutes;
    std::int16_t mSeconds;
    std::int16_t mFrames;
};

struct AudioTimeStamp {
    Float64 mSampleTime;
    UInt64 mHostTime;
    Float64 mRateScalar;
    UInt64 mWordClockTime;
    SMPTETime mSMPTETime;
    UInt32 mFlags;
    UInt32 mReserved;
};

struct AudioComponentDescription {
    UInt32 componentType;
    UInt32 componentSubType;
    UInt32 componentManufacturer;
    UInt32 componentFlags;
    UInt32 componentFlagsMask;
};

// Opaque handles: each backend defines what they point at.
using AudioComponent = struct OpaqueAudioComponent*;
using AudioComponentInstance = struct ComponentInstanceRecord*;
using AudioUnit = AudioComponentInstance;
using AudioDeviceIOProcID = OSStatus (*)(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                                         const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void*);

using AURenderCallback = OSStatus (*)(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                      const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber,
                                      UInt32 inNumberFrames, AudioBufferList* ioData);

struct AURenderCallbackStruct {
    AURenderCallback inputProc;
    void* inputProcRefCon;
};

static_assert(sizeof(AudioStreamBasicDescription) == 40);
static_assert(sizeof(AudioObjectPropertyAddress) == 12);
static_assert(sizeof(AudioBuffer) == 16);
static_assert(sizeof(AudioBufferList) == 24);
static_assert(offsetof(AudioBufferList, mBuffers) == 8);
static_assert(sizeof(AudioTimeStamp) == 64);
static_assert(sizeof(AURenderCallbackStruct) == 16);

#endif

namespace tarnwick::audio {

// Four-character codes as the platform spells them, big-endian packed.
constexpr UInt32 fourCC(const char (&code)[5]) {
    return (UInt32(static_cast<unsigned char>(code[0])) << 24) | (UInt32(static_cast<unsigned char>(code[1])) << 16) |
           (UInt32(static_cast<unsigned char>(code[2])) << 8) | UInt32(static_cast<unsigned char>(code[3]));
}

// Apple's public constant values, under our own names so they exist on every platform.
constexpr AudioObjectID kSystemObject = 1;
constexpr AudioObjectPropertyElement kElementMain = 0;

constexpr AudioObjectPropertyScope kScopeGlobal = fourCC("glob");
constexpr AudioObjectPropertyScope kScopeInput = fourCC("inpt");
constexpr AudioObjectPropertyScope kScopeOutput = fourCC("outp");

constexpr AudioObjectPropertySelector kPropDevices = fourCC("dev#");
constexpr AudioObjectPropertySelector kPropDefaultInputDevice = fourCC("dIn ");
constexpr AudioObjectPropertySelector kPropDefaultOutputDevice = fourCC("dOut");
constexpr AudioObjectPropertySelector kPropStreamConfiguration = fourCC("slay");
constexpr AudioObjectPropertySelector kPropDeviceUID = fourCC("uid ");
constexpr AudioObjectPropertySelector kPropName = fourCC("lnam");
constexpr AudioObjectPropertySelector kPropNominalSampleRate = fourCC("nsrt");
constexpr AudioObjectPropertySelector kPropBufferFrameSize = fourCC("fsiz");
constexpr AudioObjectPropertySelector kPropTapFormat = fourCC("tfmt");
// Input latency as the platform reports it, in device frames: the device's
// and its streams' latency (one code for both) and the device's safety offset.
constexpr AudioObjectPropertySelector kPropDeviceLatency = fourCC("ltnc");
constexpr AudioObjectPropertySelector kPropStreamLatency = fourCC("ltnc");
constexpr AudioObjectPropertySelector kPropSafetyOffset = fourCC("saft");
constexpr AudioObjectPropertySelector kPropStreams = fourCC("stm#");

// Process objects: the system's list of processes that use audio, PID to
// object translation (the PID travels as the qualifier), and what each does.
constexpr AudioObjectPropertySelector kPropProcessObjectList = fourCC("prs#");
constexpr AudioObjectPropertySelector kPropTranslatePIDToProcessObject = fourCC("id2p");
constexpr AudioObjectPropertySelector kPropProcessPID = fourCC("ppid");
constexpr AudioObjectPropertySelector kPropProcessBundleID = fourCC("pbid");
constexpr AudioObjectPropertySelector kPropProcessIsRunning = fourCC("pir?");
constexpr AudioObjectPropertySelector kPropProcessIsRunningInput = fourCC("piri");
constexpr AudioObjectPropertySelector kPropProcessIsRunningOutput = fourCC("piro");

constexpr UInt32 kUnitTypeOutput = fourCC("auou");
constexpr UInt32 kUnitSubTypeHALOutput = fourCC("ahal");
constexpr UInt32 kUnitManufacturerApple = fourCC("appl");

constexpr AudioUnitPropertyID kUnitPropCurrentDevice = 2000;
constexpr AudioUnitPropertyID kUnitPropEnableIO = 2003;
constexpr AudioUnitPropertyID kUnitPropSetInputCallback = 2005;
constexpr AudioUnitPropertyID kUnitPropStreamFormat = 8;
constexpr AudioUnitPropertyID kUnitPropMaximumFramesPerSlice = 14;
constexpr AudioUnitPropertyID kUnitPropSetRenderCallback = 23;

constexpr AudioUnitScope kUnitScopeGlobal = 0;
constexpr AudioUnitScope kUnitScopeInput = 1;
constexpr AudioUnitScope kUnitScopeOutput = 2;

constexpr AudioFormatID kFormatLinearPCM = fourCC("lpcm");
constexpr AudioFormatFlags kFormatFlagIsFloat = 0x1;
constexpr AudioFormatFlags kFormatFlagIsPacked = 0x8;
constexpr AudioFormatFlags kFormatFlagIsNonInterleaved = 0x20;

constexpr AudioUnitRenderActionFlags kRenderActionOutputIsSilence = 0x10;

// AudioTimeStamp.mFlags: which of its fields hold a value.
constexpr UInt32 kTimeStampSampleTimeValid = 0x1;
constexpr UInt32 kTimeStampHostTimeValid = 0x2;

constexpr OSStatus kUnspecifiedError = 2003329396;  // 'what'
constexpr OSStatus kFormatNotSupported = -10868;    // audio unit: format not supported
constexpr OSStatus kUnknownPropertyError = 2003332927;  // 'who?'
constexpr OSStatus kBadObjectError = 560947818;     // '!obj'
constexpr OSStatus kBadPropertySizeError = 561211770;  // '!siz'
constexpr OSStatus kIllegalOperationError = 1852797029;  // 'nope'
constexpr OSStatus kInvalidPropertyError = -10879;  // audio unit: invalid property
constexpr OSStatus kInvalidParameterError = -50;

}  // namespace tarnwick::audio
