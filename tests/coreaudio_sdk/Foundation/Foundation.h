// The few Foundation declarations that process_tap.mm uses, Objective-C only,
// so that the file can be compiled off macOS (syntax only: nothing here is
// ever linked or run). Names and shapes are Apple's.
#ifndef TARNWICK_SDK_FOUNDATION_H
#define TARNWICK_SDK_FOUNDATION_H

#ifdef __OBJC__

typedef long NSInteger;
typedef unsigned long NSUInteger;
typedef signed char BOOL;
#define YES ((BOOL)1)
#define NO ((BOOL)0)
#ifndef nil
#define nil nullptr
#endif
#define NS_ENUM(_type, _name) enum _name : _type _name; enum _name : _type

@interface NSObject
+ (instancetype)alloc;
- (instancetype)init;
@end

@interface NSString : NSObject
+ (instancetype)stringWithUTF8String:(const char*)nullTerminatedCString;
@end

@interface NSNumber : NSObject
+ (NSNumber*)numberWithUnsignedInt:(unsigned int)value;
@end

@interface NSArray<ObjectType> : NSObject
@end

@interface NSMutableArray<ObjectType> : NSArray<ObjectType>
+ (instancetype)arrayWithCapacity:(NSUInteger)numItems;
- (void)addObject:(ObjectType)anObject;
@end

@interface NSUUID : NSObject
- (instancetype)initWithUUIDString:(NSString*)string;
@end

#endif  // __OBJC__

#endif
