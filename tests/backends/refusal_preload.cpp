// Preloaded into a program under test (LD_PRELOAD), in front of libpulse:
// with TARNWICK_TEST_REFUSE=subscription the server is asked for events no
// server knows, which it refuses; with =listing the sink listing asks for a
// sink that does not exist, so that the server ends it with an error. Either
// happens once; every other call passes through to libpulse unchanged.

#include <dlfcn.h>
#include <pulse/pulseaudio.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<bool> refuseSubscription{false};
std::atomic<bool> failSinkListing{false};

__attribute__((constructor)) void readRequest() {
    const char* request = std::getenv("TARNWICK_TEST_REFUSE");
    if (!request) return;
    refuseSubscription = std::strcmp(request, "subscription") == 0;
    failSinkListing = std::strcmp(request, "listing") == 0;
}

// The program loads libpulse privately (with its backend module), so the
// real function is found in libpulse itself rather than next in line.
template <typename Function>
Function* real(Function*, const char* name) {
    void* library = ::dlopen("libpulse.so.0", RTLD_NOW | RTLD_NOLOAD);
    void* found = library ? ::dlsym(library, name) : ::dlsym(RTLD_NEXT, name);
    return reinterpret_cast<Function*>(found);
}

}  // namespace

extern "C" {

pa_operation* pa_context_subscribe(pa_context* context, pa_subscription_mask_t mask, pa_context_success_cb_t done,
                                   void* data) {
    static auto* next = real(&pa_context_subscribe, "pa_context_subscribe");
    if (refuseSubscription.exchange(false)) {
        mask = static_cast<pa_subscription_mask_t>(mask | (PA_SUBSCRIPTION_MASK_ALL + 1));
    }
    return next(context, mask, done, data);
}

pa_operation* pa_context_get_sink_info_list(pa_context* context, pa_sink_info_cb_t each, void* data) {
    static auto* next = real(&pa_context_get_sink_info_list, "pa_context_get_sink_info_list");
    static auto* byName = real(&pa_context_get_sink_info_by_name, "pa_context_get_sink_info_by_name");
    if (failSinkListing.exchange(false)) return byName(context, "no-such-sink", each, data);
    return next(context, each, data);
}

}  // extern "C"
