#pragma once
// Listener and IO callbacks, registered with Apple's function-pointer forms
// and handed over to the serial queue the caller named: listeners as async
// items, IO cycles synchronously, so that the cycle's buffers are used before
// the platform's IO thread returns.

#include "frame/audio/audio_system.h"

namespace tarnwick::coreaudio {

OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                             kit::SerialQueue* queue, audio::PropertyListenerBlock block);
// Finds the registration by its object, address, queue and block and removes
// the proc registered for it; nothing is queued for it afterwards.
OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress* address,
                                kit::SerialQueue* queue, const audio::PropertyListenerBlock& block);

OSStatus createIOProc(AudioDeviceIOProcID* outIOProcID, AudioObjectID device, kit::SerialQueue* queue,
                      audio::DeviceIOBlock block);
OSStatus startIOProc(AudioObjectID device, AudioDeviceIOProcID proc);
OSStatus stopIOProc(AudioObjectID device, AudioDeviceIOProcID proc);
OSStatus destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc);

}  // namespace tarnwick::coreaudio
