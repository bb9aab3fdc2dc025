#pragma once
// ThreadSanitizer's suppressions for libpulse. Include it in exactly one file
// of each binary that may talk to a PulseAudio server: it defines the hook
// the sanitizer calls once, as the process starts.
//
// ThreadSanitizer sees libpulse's mutexes but not its atomics (the library is
// not instrumented): a mutex that libpulse creates lazily on one thread and
// publishes through an atomic pointer looks, when another thread first locks
// it, like an unsynchronised read of fresh memory. Races whose stack is
// inside that lock are the library's own bookkeeping, never this program's.

// GCC says __SANITIZE_THREAD__, Clang answers __has_feature.
#if defined(__SANITIZE_THREAD__)
#define TARNWICK_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARNWICK_THREAD_SANITIZER 1
#endif
#endif

#if defined(TARNWICK_THREAD_SANITIZER)
extern "C" const char* __tsan_default_suppressions() {
    return "race:pa_mutex_lock\n"
           "race:pa_mutex_unlock\n";
}
#endif
