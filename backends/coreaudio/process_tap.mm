// The one Objective-C part of the backend: a CATapDescription for a stereo
// mixdown of every process except the listed ones, private, named and
// carrying the caller's UUID, handed to AudioHardwareCreateProcessTap; and
// the matching AudioHardwareDestroyProcessTap.

#import <CoreAudio/CoreAudio.h>
// Declared only here, for Objective-C, and not known to come with the
// umbrella header.
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <Foundation/Foundation.h>

#include "backends/coreaudio/process_tap.h"

namespace tarnwick::coreaudio {

OSStatus createProcessTap(const audio::TapDescription& description, AudioObjectID* outTapID) {
    if (@available(macOS 14.2, *)) {
        @autoreleasepool {
            NSMutableArray<NSNumber*>* excluded = [NSMutableArray arrayWithCapacity:description.excludedProcesses.size()];
            for (AudioObjectID process : description.excludedProcesses) [excluded addObject:@(process)];
            CATapDescription* tap = [[CATapDescription alloc] initStereoGlobalTapButExcludeProcesses:excluded];
            // Text that is not UTF-8 makes no NSString: the tap then keeps
            // an empty name, or the UUID the description was born with.
            NSString* name = [NSString stringWithUTF8String:description.name.c_str()];
            tap.name = name != nil ? name : @"";
            tap.privateTap = description.isPrivate ? YES : NO;
            NSString* uuidText = [NSString stringWithUTF8String:description.uuid.c_str()];
            NSUUID* uuid = uuidText != nil ? [[NSUUID alloc] initWithUUIDString:uuidText] : nil;
            if (uuid != nil) tap.UUID = uuid;
            return AudioHardwareCreateProcessTap(tap, outTapID);
        }
    }
    return kAudioHardwareUnspecifiedError;
}

OSStatus destroyProcessTap(AudioObjectID tapID) {
    if (@available(macOS 14.2, *)) {
        return AudioHardwareDestroyProcessTap(tapID);
    }
    return kAudioHardwareUnspecifiedError;
}

}  // namespace tarnwick::coreaudio
