#pragma once
// Process objects from the server: one per process that plays into the
// default sink (its playback streams, grouped by application.process.id),
// and one for this process, whose own keep-alive never counts as playing.
// Each process keeps its object ID for the life of this process.

#include <pulse/pulseaudio.h>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "backends/model/listeners.h"
#include "backends/pulse/connection.h"
#include "backends/pulse/server_devices.h"

namespace tarnwick::pulse {


class ServerProcesses {
public:
    ServerProcesses(Connection& connection, const ServerDevices& devices, model::ListenerRegistry& listeners,
                    std::atomic<AudioObjectID>& nextID);

    // Reads the server's playback streams. With the main-loop lock held.
    bool load(double timeoutSeconds);
    // A sink-input event, or a change of the default sink. Main-loop thread.
    void event(pa_subscription_event_type_t type, uint32_t index);
    void defaultSinkChanged();

    std::vector<AudioObjectID> objects() const;
    AudioObjectID objectFor(std::int32_t pid) const;  // 0: none
    std::optional<std::int32_t> pidOf(AudioObjectID object) const;
    std::optional<bool> runsOutput(AudioObjectID object) const;

private:
    struct Playback {
        uint32_t sink = PA_INVALID_INDEX;
        uint32_t client = PA_INVALID_INDEX;
        std::int32_t pid = 0;
        bool corked = false;
    };
    static void streamInfo(pa_context*, const pa_sink_input_info* info, int eol, void* self);
    bool listingFailed_ = false;  // while loading, under the main-loop lock
    // Applies `change`, then tells the listeners what it changed.
    template <typename Change>
    void update(Change change);
    // Under mutex_: process → plays into the default sink now.
    std::map<std::int32_t, bool> processesLocked() const;
    AudioObjectID idForLocked(std::int32_t pid) const;

    Connection& connection_;
    const ServerDevices& devices_;
    model::ListenerRegistry& listeners_;
    std::atomic<AudioObjectID>& nextID_;
    const std::int32_t self_;

    mutable std::mutex mutex_;
    std::map<uint32_t, Playback> playbacks_;  // by sink-input index
    mutable std::map<std::int32_t, AudioObjectID> ids_;
    uint32_t defaultSink_ = PA_INVALID_INDEX;
};

}  // namespace tarnwick::pulse
