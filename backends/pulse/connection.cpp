#include "backends/pulse/connection.h"

#include <cmath>

namespace tarnwick::pulse {

namespace {

struct Deadline {
    pa_threaded_mainloop* mainloop;
    bool expired = false;
};

void deadlinePassed(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data) {
    auto* deadline = static_cast<Deadline*>(data);
    deadline->expired = true;
    pa_threaded_mainloop_signal(deadline->mainloop, 0);
}

pa_usec_t micros(double seconds) { return static_cast<pa_usec_t>(std::llround(seconds * 1e6)); }

}  // namespace

Connection::Lock::Lock(const Connection& connection)
    : mainloop_(connection.mainloop_), held_(!pa_threaded_mainloop_in_thread(connection.mainloop_)) {
    if (held_) pa_threaded_mainloop_lock(mainloop_);
}

Connection::Lock::~Lock() {
    if (held_) pa_threaded_mainloop_unlock(mainloop_);
}

Connection::Connection(const std::string& clientName, double timeoutSeconds,
                       std::function<void(const std::string& error)> lost)
    : lostHandler_(std::move(lost)) {
    mainloop_ = pa_threaded_mainloop_new();
    if (!mainloop_) throw ConnectError("cannot connect to the sound server: out of memory");
    context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), clientName.c_str());
    if (!context_) {
        teardown();
        throw ConnectError("cannot connect to the sound server: out of memory");
    }
    pa_context_set_state_callback(context_, &Connection::stateChanged, this);
    // The server named by PULSE_SERVER, client.conf or the runtime directory;
    // never one started for us, so that "no server" stays an answer.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(mainloop_) < 0) {
        std::string error = lastError();
        teardown();
        throw ConnectError("cannot connect to the sound server: " + error);
    }
    std::string failure;
    {
        Lock lock(*this);
        auto settled = [this] {
            pa_context_state_t state = pa_context_get_state(context_);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        };
        bool answered = waitLocked(settled, timeoutSeconds);
        if (pa_context_get_state(context_) == PA_CONTEXT_READY) {
            established_ = true;
        } else {
            failure = answered ? lastError() : "Timeout";
        }
    }
    if (!failure.empty()) {
        teardown();
        throw ConnectError("cannot connect to the sound server: " + failure);
    }
}

Connection::~Connection() { teardown(); }

void Connection::stopEvents() {
    if (mainloop_) pa_threaded_mainloop_stop(mainloop_);
}

void Connection::teardown() {
    stopEvents();
    if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    if (mainloop_) {
        pa_threaded_mainloop_free(mainloop_);
        mainloop_ = nullptr;
    }
    alive_.store(false);
}

void Connection::stateChanged(pa_context* context, void* data) {
    auto* self = static_cast<Connection*>(data);
    pa_context_state_t state = pa_context_get_state(context);
    self->alive_.store(state == PA_CONTEXT_READY, std::memory_order_release);
    if (!PA_CONTEXT_IS_GOOD(state) && self->established_) {
        self->established_ = false;
        if (self->lostHandler_) self->lostHandler_(self->lastError());
    }
    self->signal();
}

std::string Connection::lastError() const { return pa_strerror(pa_context_errno(context_)); }

bool Connection::waitLocked(kit::FunctionRef<bool()> done, double timeoutSeconds) const {
    if (done()) return true;
    Deadline deadline{mainloop_};
    pa_time_event* timer = pa_context_rttime_new(context_, pa_rtclock_now() + micros(timeoutSeconds), deadlinePassed,
                                                 &deadline);
    bool result = false;
    for (;;) {
        if (done()) {
            result = true;
            break;
        }
        if (deadline.expired || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) break;
        pa_threaded_mainloop_wait(mainloop_);
    }
    if (timer) pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
    return result;
}

bool Connection::finishLocked(pa_operation* operation, double timeoutSeconds) const {
    if (!operation) return false;
    bool done = waitLocked([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
                           timeoutSeconds);
    if (!done) pa_operation_cancel(operation);
    bool completed = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    pa_operation_unref(operation);
    return completed;
}

}  // namespace tarnwick::pulse
