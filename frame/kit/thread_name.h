#pragma once
// Names the calling thread, as debuggers and /proc show it. The system keeps
// at most 15 characters; the rest is cut.

#include <pthread.h>

#include <string>

namespace tarnwick::kit {

inline void nameThisThread(const std::string& label) {
    const std::string shown = label.substr(0, 15);
#if defined(__APPLE__)
    pthread_setname_np(shown.c_str());
#else
    pthread_setname_np(pthread_self(), shown.c_str());
#endif
}

}  // namespace tarnwick::kit
