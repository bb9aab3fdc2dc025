#pragma once
// The server's sources and sinks as audio devices. Each device keeps the ID
// it was first given for the life of the process (a device that goes and
// comes back under the same name gets its old ID). Monitor sources are not
// devices: they are how a sink's output is recorded. The table follows the
// server's change events and reaches the registered listeners when a default
// device or a device's rate changes.

#include <pulse/pulseaudio.h>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "backends/model/listeners.h"
#include "backends/pulse/connection.h"

namespace tarnwick::pulse {

class ServerProcesses;

struct ServerDevice {
    AudioObjectID id = 0;
    bool isSink = false;
    std::string name;  // the UID
    std::string description;
    double rate = 0;
    UInt32 channels = 0;
    pa_channel_map channelMap{};
    std::string monitorSource;  // sinks only
    bool present = true;
    uint32_t serverIndex = PA_INVALID_INDEX;
    UInt32 fragmentFrames = 0;  // the IO cycle of the latest stream on it; 0: none yet
};

class ServerDevices {
public:
    ServerDevices(Connection& connection, model::ListenerRegistry& listeners, std::atomic<AudioObjectID>& nextID)
        : connection_(connection), listeners_(listeners), nextID_(nextID) {}

    // Subscribes to the server's changes, then reads its devices and
    // defaults, so that no change between the two is missed. With the
    // main-loop lock held, from any thread but the main loop's. "" when all
    // went well, else the complete log message.
    std::string load(double timeoutSeconds);

    std::optional<ServerDevice> byId(AudioObjectID id) const;  // present devices only
    std::optional<ServerDevice> byUid(const std::string& uid) const;
    std::vector<AudioObjectID> listed() const;
    AudioObjectID defaultInput() const;
    AudioObjectID defaultOutput() const;
    void setFragmentFrames(AudioObjectID id, UInt32 frames);
    std::optional<uint32_t> serverIndexOf(AudioObjectID id) const;
    // Where playback-stream events and default-sink changes go.
    void setProcesses(ServerProcesses* processes) { processes_ = processes; }
    // A stream learnt before the server's event that its device is gone.
    // Main-loop thread.
    void vanished(AudioObjectID id);

private:
    static void serverInfo(pa_context*, const pa_server_info* info, void* self);
    static void sourceInfo(pa_context*, const pa_source_info* info, int eol, void* self);
    static void sinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self);
    static void subscribed(pa_context*, int success, void* self);
    static void sourceListed(pa_context*, const pa_source_info* info, int eol, void* self);
    static void sinkListed(pa_context*, const pa_sink_info* info, int eol, void* self);
    static void event(pa_context*, pa_subscription_event_type_t type, uint32_t index, void* self);
    static void recheckServer(pa_mainloop_api* api, pa_time_event* timer, const struct timeval*, void* self);
    static void refreshServer(pa_mainloop_api* api, pa_time_event* timer, const struct timeval*, void* self);

    void upsert(ServerDevice device, uint32_t index);
    void remove(bool isSink, uint32_t index);
    AudioObjectID idFor(bool isSink, const std::string& name);  // under mutex_
    AudioObjectID defaultLocked(bool isSink) const;              // under mutex_
    // Runs `change` on the table, then tells the listeners what it changed.
    template <typename Change>
    void update(Change change);

    Connection& connection_;
    model::ListenerRegistry& listeners_;
    std::atomic<AudioObjectID>& nextID_;

    mutable std::mutex mutex_;
    std::map<AudioObjectID, ServerDevice> devices_;
    std::map<std::pair<bool, std::string>, AudioObjectID> idsByName_;
    std::map<std::pair<bool, uint32_t>, AudioObjectID> idsByIndex_;
    std::string defaultSink_;
    std::string defaultSource_;
    ServerProcesses* processes_ = nullptr;
    // While loading, under the main-loop lock.
    int subscribeAnswer_ = -1;
    bool listingFailed_ = false;
};

}  // namespace tarnwick::pulse
