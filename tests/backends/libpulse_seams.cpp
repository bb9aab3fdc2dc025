#include "tests/backends/libpulse_seams.h"

#include <dlfcn.h>
#include <pulse/pulseaudio.h>

namespace tarnwick::pulse::seams {

thread_local std::function<void()> afterRecordConnect;
thread_local std::function<void()> afterWait;
thread_local std::function<void()> beforeStop;

namespace {
template <typename Function>
Function* real(Function*, const char* name) {
    return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}
}  // namespace

}  // namespace tarnwick::pulse::seams

using namespace tarnwick::pulse::seams;

extern "C" {

int pa_stream_connect_record(pa_stream* stream, const char* device, const pa_buffer_attr* attr,
                             pa_stream_flags_t flags) {
    static auto* next = real(&pa_stream_connect_record, "pa_stream_connect_record");
    const int result = next(stream, device, attr, flags);
    if (afterRecordConnect) afterRecordConnect();
    return result;
}

void pa_threaded_mainloop_wait(pa_threaded_mainloop* mainloop) {
    static auto* next = real(&pa_threaded_mainloop_wait, "pa_threaded_mainloop_wait");
    next(mainloop);
    if (afterWait) {
        pa_threaded_mainloop_unlock(mainloop);
        afterWait();
        pa_threaded_mainloop_lock(mainloop);
    }
}

void pa_threaded_mainloop_stop(pa_threaded_mainloop* mainloop) {
    static auto* next = real(&pa_threaded_mainloop_stop, "pa_threaded_mainloop_stop");
    if (beforeStop) {
        const std::function<void()> hook = std::move(beforeStop);
        beforeStop = nullptr;
        hook();
    }
    next(mainloop);
}

}  // extern "C"
