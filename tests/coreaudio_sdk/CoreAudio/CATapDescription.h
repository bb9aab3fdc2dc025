// The tap description class, Objective-C only as in Apple's SDK; the
// members the backend uses. Off macOS nothing here compiles.
#ifndef TARNWICK_SDK_CATAPDESCRIPTION_H
#define TARNWICK_SDK_CATAPDESCRIPTION_H

#ifdef __OBJC__

#import <Foundation/Foundation.h>

typedef NS_ENUM(NSInteger, CATapMuteBehavior) {
    CATapUnmuted = 0,
    CATapMuted = 1,
    CATapMutedWhenTapped = 2,
};

@interface CATapDescription : NSObject
- (instancetype)initStereoGlobalTapButExcludeProcesses:(NSArray<NSNumber*>*)processes;
@property (atomic, copy) NSString* name;
@property (atomic, copy) NSUUID* UUID;
@property (atomic, getter=isPrivate, setter=setPrivate:) BOOL privateTap;
@property (atomic, getter=isMuted) CATapMuteBehavior muteBehavior;
@end

#endif  // __OBJC__

#endif
