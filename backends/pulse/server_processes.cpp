#include "backends/pulse/server_processes.h"

#include <unistd.h>

#include <charconv>
#include <cstring>

namespace tarnwick::pulse {

namespace {

std::int32_t processIdOf(const pa_proplist* properties) {
    const char* text = properties ? pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID) : nullptr;
    std::int32_t pid = 0;
    if (text) std::from_chars(text, text + std::strlen(text), pid);
    return pid;
}

}  // namespace

ServerProcesses::ServerProcesses(Connection& connection, const ServerDevices& devices,
                                 model::ListenerRegistry& listeners, std::atomic<AudioObjectID>& nextID)
    : connection_(connection),
      devices_(devices),
      listeners_(listeners),
      nextID_(nextID),
      self_(static_cast<std::int32_t>(::getpid())) {
    ids_[self_] = nextID_.fetch_add(1);
}

template <typename Change>
void ServerProcesses::update(Change change) {
    std::vector<std::pair<AudioObjectID, AudioObjectPropertySelector>> changed;
    {
        std::lock_guard lock(mutex_);
        const std::map<std::int32_t, bool> before = processesLocked();
        change();
        const std::map<std::int32_t, bool> after = processesLocked();
        bool listChanged = before.size() != after.size();
        for (const auto& [pid, running] : after) {
            auto was = before.find(pid);
            if (was == before.end()) {
                listChanged = true;
            } else if (was->second != running) {
                changed.emplace_back(idForLocked(pid), audio::kPropProcessIsRunningOutput);
            }
        }
        if (listChanged) changed.emplace_back(audio::kSystemObject, audio::kPropProcessObjectList);
    }
    for (const auto& [object, selector] : changed) listeners_.notify(object, selector);
}

bool ServerProcesses::load(double timeoutSeconds) {
    defaultSinkChanged();
    listingFailed_ = false;
    const bool listed = connection_.finishLocked(
        pa_context_get_sink_input_info_list(
            connection_.context(),
            [](pa_context* context, const pa_sink_input_info* info, int eol, void* data) {
                if (eol < 0) static_cast<ServerProcesses*>(data)->listingFailed_ = true;
                streamInfo(context, info, eol, data);
            },
            this),
        timeoutSeconds);
    return listed && !listingFailed_;
}

void ServerProcesses::streamInfo(pa_context* context, const pa_sink_input_info* info, int eol, void* data) {
    auto* self = static_cast<ServerProcesses*>(data);
    if (eol == 0 && info) {
        Playback playback;
        playback.sink = info->sink;
        playback.client = info->client;
        playback.corked = info->corked != 0;
        // Streams carry their process themselves on some servers, only
        // through their client on others.
        playback.pid = processIdOf(info->proplist);
        if (playback.pid == 0) {
            self->update([&] { self->playbacks_[info->index] = playback; });
            pa_operation* lookup = pa_context_get_client_info(
                context, info->client,
                [](pa_context*, const pa_client_info* client, int end, void* target) {
                    auto* processes = static_cast<ServerProcesses*>(target);
                    if (end != 0 || !client) return;
                    const std::int32_t pid = processIdOf(client->proplist);
                    processes->update([&] {
                        for (auto& [index, p] : processes->playbacks_) {
                            if (p.client == client->index) p.pid = pid;
                        }
                    });
                },
                self);
            if (lookup) pa_operation_unref(lookup);
        } else {
            self->update([&] { self->playbacks_[info->index] = playback; });
        }
    }
    self->connection_.signal();
}

void ServerProcesses::event(pa_subscription_event_type_t type, uint32_t index) {
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
        update([&] { playbacks_.erase(index); });
        return;
    }
    pa_operation* lookup =
        pa_context_get_sink_input_info(connection_.context(), index, &ServerProcesses::streamInfo, this);
    if (lookup) pa_operation_unref(lookup);
}

void ServerProcesses::defaultSinkChanged() {
    const uint32_t index = devices_.serverIndexOf(devices_.defaultOutput()).value_or(PA_INVALID_INDEX);
    update([&] { defaultSink_ = index; });
}

std::map<std::int32_t, bool> ServerProcesses::processesLocked() const {
    std::map<std::int32_t, bool> processes{{self_, false}};
    for (const auto& [index, playback] : playbacks_) {
        if (playback.pid == 0 || playback.pid == self_ || playback.sink != defaultSink_) continue;
        processes[playback.pid] = processes[playback.pid] || !playback.corked;
    }
    return processes;
}

AudioObjectID ServerProcesses::idForLocked(std::int32_t pid) const {
    auto [found, added] = ids_.emplace(pid, 0);
    if (added) found->second = nextID_.fetch_add(1);
    return found->second;
}

std::vector<AudioObjectID> ServerProcesses::objects() const {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectID> ids;
    for (const auto& [pid, running] : processesLocked()) ids.push_back(idForLocked(pid));
    return ids;
}

AudioObjectID ServerProcesses::objectFor(std::int32_t pid) const {
    std::lock_guard lock(mutex_);
    return processesLocked().count(pid) ? idForLocked(pid) : 0;
}

std::optional<std::int32_t> ServerProcesses::pidOf(AudioObjectID object) const {
    std::lock_guard lock(mutex_);
    const std::map<std::int32_t, bool> processes = processesLocked();
    for (const auto& [pid, id] : ids_) {
        if (id == object && processes.count(pid)) return pid;
    }
    return std::nullopt;
}

std::optional<bool> ServerProcesses::runsOutput(AudioObjectID object) const {
    std::lock_guard lock(mutex_);
    const std::map<std::int32_t, bool> processes = processesLocked();
    for (const auto& [pid, id] : ids_) {
        if (id != object) continue;
        auto found = processes.find(pid);
        if (found != processes.end()) return found->second;
    }
    return std::nullopt;
}

}  // namespace tarnwick::pulse
