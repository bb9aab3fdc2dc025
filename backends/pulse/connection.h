#pragma once
// One connection to the sound server: libpulse's threaded main loop and its
// context. Every libpulse call is made either on the main-loop thread (inside
// a callback) or by another thread holding the main-loop lock; waits for the
// server are bounded, so a server that stops answering never hangs a caller.

#include <pulse/pulseaudio.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>

#include "frame/kit/function_ref.h"

namespace tarnwick::pulse {

// The server cannot be reached; what() is the complete log message.
class ConnectError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Connection {
public:
    // Connects (never spawning a server) within `timeoutSeconds`; throws
    // ConnectError. `lost` runs once, on the main-loop thread, when the
    // established connection is lost.
    Connection(const std::string& clientName, double timeoutSeconds,
               std::function<void(const std::string& error)> lost = nullptr);
    // Stops the main loop, then disconnects (cancelling every pending
    // operation) and frees everything.
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    pa_context* context() const { return context_; }
    pa_threaded_mainloop* mainloop() const { return mainloop_; }

    // Holds the main-loop lock for its lifetime; a no-op on the main-loop
    // thread itself, which already holds it while running callbacks.
    class Lock {
    public:
        explicit Lock(const Connection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* mainloop_;
        bool held_;
    };

    // With the lock held: waits until `done` is true, the connection is lost
    // or `timeoutSeconds` pass. True when `done` became true.
    bool waitLocked(kit::FunctionRef<bool()> done, double timeoutSeconds) const;
    // With the lock held: runs `operation` to completion (bounded as above)
    // and releases it. True when it completed.
    bool finishLocked(pa_operation* operation, double timeoutSeconds) const;
    // Wakes waitLocked; callbacks call it after changing what a wait looks at.
    void signal() const { pa_threaded_mainloop_signal(mainloop_, 0); }

    bool alive() const { return alive_.load(std::memory_order_acquire); }
    // The text of the context's last error.
    std::string lastError() const;

    // Stops the main-loop thread: once this returns no callback runs again,
    // so what callbacks reach may be freed. Not from the main-loop thread,
    // nor with the lock held. Idempotent.
    void stopEvents();

private:
    static void stateChanged(pa_context* context, void* self);
    void teardown();

    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    std::atomic<bool> alive_{false};
    bool established_ = false;  // main-loop thread (and the connecting thread, before it)
    std::function<void(const std::string&)> lostHandler_;
};

}  // namespace tarnwick::pulse
