#include "tests/backends/libpulse_seams.h"

#include <dlfcn.h>
#include <pulse/pulseaudio.h>

namespace tarnwick::pulse::seams {

thread_local bool refuseSubscription = false;
thread_local bool failSinkListing = false;
thread_local std::function<void()> afterRecordConnect;
thread_local std::function<void()> afterWait;

namespace {
template <typename Function>
Function* real(Function*, const char* name) {
    return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}
}  // namespace

}  // namespace tarnwick::pulse::seams

using namespace tarnwick::pulse::seams;

extern "C" {

pa_operation* pa_context_subscribe(pa_context* context, pa_subscription_mask_t mask, pa_context_success_cb_t done,
                                   void* data) {
    static auto* next = real(&pa_context_subscribe, "pa_context_subscribe");
    if (refuseSubscription) {
        refuseSubscription = false;
        mask = static_cast<pa_subscription_mask_t>(mask | (PA_SUBSCRIPTION_MASK_ALL + 1));
    }
    return next(context, mask, done, data);
}

pa_operation* pa_context_get_sink_info_list(pa_context* context, pa_sink_info_cb_t each, void* data) {
    static auto* next = real(&pa_context_get_sink_info_list, "pa_context_get_sink_info_list");
    if (failSinkListing) {
        failSinkListing = false;
        return pa_context_get_sink_info_by_name(context, "no-such-sink", each, data);
    }
    return next(context, each, data);
}

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

}  // extern "C"
