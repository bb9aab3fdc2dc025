#include "backends/pulse/server_devices.h"

#include "backends/pulse/server_processes.h"

namespace tarnwick::pulse {

namespace {

constexpr pa_usec_t kDefaultRecheckFirst = 250 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kDefaultRecheckLast = 1000 * PA_USEC_PER_MSEC;
// How often the defaults are read with no event at all: a server whose
// session manager applies a default late, on a loaded machine, may never
// announce the default it finally applies.
constexpr pa_usec_t kDefaultRefresh = 1000 * PA_USEC_PER_MSEC;

void dropOperation(pa_operation* operation) {
    if (operation) pa_operation_unref(operation);
}

}  // namespace

template <typename Change>
void ServerDevices::update(Change change) {
    std::vector<std::pair<AudioObjectID, AudioObjectPropertySelector>> changed;
    bool outputChanged = false;
    {
        std::lock_guard lock(mutex_);
        const AudioObjectID input = defaultLocked(false);
        const AudioObjectID output = defaultLocked(true);
        change(changed);
        // A default device that goes away is a change of default, whether or
        // not the server has named a new one yet.
        if (defaultLocked(false) != input) changed.emplace_back(audio::kSystemObject, audio::kPropDefaultInputDevice);
        outputChanged = defaultLocked(true) != output;
        if (outputChanged) changed.emplace_back(audio::kSystemObject, audio::kPropDefaultOutputDevice);
    }
    if (outputChanged && processes_) processes_->defaultSinkChanged();
    for (const auto& [object, selector] : changed) listeners_.notify(object, selector);
}

std::string ServerDevices::load(double timeoutSeconds) {
    pa_context* context = connection_.context();
    pa_context_set_subscribe_callback(context, &ServerDevices::event, this);
    subscribeAnswer_ = -1;
    const bool answered = connection_.finishLocked(
        pa_context_subscribe(context,
                             static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK |
                                                                 PA_SUBSCRIPTION_MASK_SOURCE |
                                                                 PA_SUBSCRIPTION_MASK_SINK_INPUT),
                             &ServerDevices::subscribed, this),
        timeoutSeconds);
    // Without the server's events no device change would ever be seen.
    if (!answered || subscribeAnswer_ != 1) {
        return "cannot follow the sound server's device changes: " + connection_.lastError();
    }
    listingFailed_ = false;
    const bool listed =
        connection_.finishLocked(pa_context_get_server_info(context, &ServerDevices::serverInfo, this),
                                 timeoutSeconds) &&
        connection_.finishLocked(pa_context_get_source_info_list(context, &ServerDevices::sourceListed, this),
                                 timeoutSeconds) &&
        connection_.finishLocked(pa_context_get_sink_info_list(context, &ServerDevices::sinkListed, this),
                                 timeoutSeconds);
    if (!listed || listingFailed_) return "cannot read the sound server's devices: " + connection_.lastError();
    // Lives as long as the main loop, which frees it.
    pa_context_rttime_new(context, pa_rtclock_now() + kDefaultRefresh, &ServerDevices::refreshServer, this);
    return "";
}

void ServerDevices::subscribed(pa_context*, int success, void* data) {
    auto* self = static_cast<ServerDevices*>(data);
    self->subscribeAnswer_ = success ? 1 : 0;
    self->connection_.signal();
}

// A list that ends in an error is a list we cannot trust. (The same answer
// to a query after a change event only means the device went meanwhile.)
void ServerDevices::sourceListed(pa_context* context, const pa_source_info* info, int eol, void* data) {
    if (eol < 0) static_cast<ServerDevices*>(data)->listingFailed_ = true;
    sourceInfo(context, info, eol, data);
}

void ServerDevices::sinkListed(pa_context* context, const pa_sink_info* info, int eol, void* data) {
    if (eol < 0) static_cast<ServerDevices*>(data)->listingFailed_ = true;
    sinkInfo(context, info, eol, data);
}

void ServerDevices::serverInfo(pa_context*, const pa_server_info* info, void* data) {
    auto* self = static_cast<ServerDevices*>(data);
    if (!info) self->listingFailed_ = true;
    if (info) {
        self->update([&](auto&) {
            self->defaultSink_ = info->default_sink_name ? info->default_sink_name : "";
            self->defaultSource_ = info->default_source_name ? info->default_source_name : "";
        });
    }
    self->connection_.signal();
}

namespace {

// What sources and sinks report alike.
template <typename Info>
ServerDevice deviceFrom(const Info& info, bool isSink) {
    ServerDevice device;
    device.isSink = isSink;
    device.name = info.name ? info.name : "";
    device.description = info.description ? info.description : device.name;
    device.rate = info.sample_spec.rate;
    device.channels = info.sample_spec.channels;
    device.channelMap = info.channel_map;
    device.serverIndex = info.index;
    return device;
}

}  // namespace

void ServerDevices::sourceInfo(pa_context*, const pa_source_info* info, int eol, void* data) {
    auto* self = static_cast<ServerDevices*>(data);
    // A monitor records a sink's output: system audio, not an input.
    if (eol == 0 && info && info->monitor_of_sink == PA_INVALID_INDEX) {
        self->upsert(deviceFrom(*info, false), info->index);
    }
    self->connection_.signal();
}

void ServerDevices::sinkInfo(pa_context*, const pa_sink_info* info, int eol, void* data) {
    auto* self = static_cast<ServerDevices*>(data);
    if (eol == 0 && info) {
        ServerDevice device = deviceFrom(*info, true);
        device.monitorSource = info->monitor_source_name ? info->monitor_source_name : "";
        self->upsert(std::move(device), info->index);
    }
    self->connection_.signal();
}

void ServerDevices::event(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* data) {
    auto* self = static_cast<ServerDevices*>(data);
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        dropOperation(pa_context_get_server_info(context, &ServerDevices::serverInfo, self));
        // A server whose defaults are set in two steps (the default asked
        // for, then the one its session manager applies) may announce the
        // first and answer with the old default: ask again a little later.
        for (const pa_usec_t delay : {kDefaultRecheckFirst, kDefaultRecheckLast}) {
            pa_context_rttime_new(context, pa_rtclock_now() + delay, &ServerDevices::recheckServer, self);
        }
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
        if (self->processes_) self->processes_->event(type, index);
    } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE || facility == PA_SUBSCRIPTION_EVENT_SINK) {
        const bool isSink = facility == PA_SUBSCRIPTION_EVENT_SINK;
        if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
            self->remove(isSink, index);
        } else if (isSink) {
            dropOperation(pa_context_get_sink_info_by_index(context, index, &ServerDevices::sinkInfo, self));
        } else {
            dropOperation(pa_context_get_source_info_by_index(context, index, &ServerDevices::sourceInfo, self));
        }
    }
}

void ServerDevices::recheckServer(pa_mainloop_api* api, pa_time_event* timer, const struct timeval*, void* data) {
    api->time_free(timer);
    auto* self = static_cast<ServerDevices*>(data);
    dropOperation(pa_context_get_server_info(self->connection_.context(), &ServerDevices::serverInfo, self));
}

void ServerDevices::refreshServer(pa_mainloop_api*, pa_time_event* timer, const struct timeval*, void* data) {
    auto* self = static_cast<ServerDevices*>(data);
    pa_context* context = self->connection_.context();
    dropOperation(pa_context_get_server_info(context, &ServerDevices::serverInfo, self));
    pa_context_rttime_restart(context, timer, pa_rtclock_now() + kDefaultRefresh);
}

AudioObjectID ServerDevices::idFor(bool isSink, const std::string& name) {
    auto [found, added] = idsByName_.emplace(std::make_pair(isSink, name), 0);
    if (added) found->second = nextID_.fetch_add(1);
    return found->second;
}

void ServerDevices::upsert(ServerDevice device, uint32_t index) {
    update([&](auto& changed) {
        device.id = idFor(device.isSink, device.name);
        idsByIndex_[{device.isSink, index}] = device.id;
        auto found = devices_.find(device.id);
        if (found != devices_.end()) {
            if (found->second.present && found->second.rate != device.rate) {
                changed.emplace_back(device.id, audio::kPropNominalSampleRate);
            }
            device.fragmentFrames = found->second.fragmentFrames;
        }
        devices_[device.id] = std::move(device);
    });
}

void ServerDevices::remove(bool isSink, uint32_t index) {
    update([&](auto&) {
        auto found = idsByIndex_.find({isSink, index});
        if (found == idsByIndex_.end()) return;
        if (auto device = devices_.find(found->second); device != devices_.end()) device->second.present = false;
        idsByIndex_.erase(found);
    });
}

std::optional<uint32_t> ServerDevices::serverIndexOf(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    auto found = devices_.find(id);
    if (found == devices_.end() || !found->second.present) return std::nullopt;
    return found->second.serverIndex;
}

void ServerDevices::vanished(AudioObjectID id) {
    update([&](auto&) {
        if (auto device = devices_.find(id); device != devices_.end()) device->second.present = false;
    });
}

AudioObjectID ServerDevices::defaultLocked(bool isSink) const {
    auto found = idsByName_.find({isSink, isSink ? defaultSink_ : defaultSource_});
    if (found == idsByName_.end()) return 0;
    auto device = devices_.find(found->second);
    return device != devices_.end() && device->second.present ? device->first : 0;
}

std::optional<ServerDevice> ServerDevices::byId(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    auto found = devices_.find(id);
    if (found == devices_.end() || !found->second.present) return std::nullopt;
    return found->second;
}

std::optional<ServerDevice> ServerDevices::byUid(const std::string& uid) const {
    std::lock_guard lock(mutex_);
    for (const auto& [id, device] : devices_) {
        if (device.present && device.name == uid) return device;
    }
    return std::nullopt;
}

std::vector<AudioObjectID> ServerDevices::listed() const {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectID> ids;
    for (const auto& [id, device] : devices_) {
        if (device.present) ids.push_back(id);
    }
    return ids;
}

AudioObjectID ServerDevices::defaultInput() const {
    std::lock_guard lock(mutex_);
    return defaultLocked(false);
}

AudioObjectID ServerDevices::defaultOutput() const {
    std::lock_guard lock(mutex_);
    return defaultLocked(true);
}

void ServerDevices::setFragmentFrames(AudioObjectID id, UInt32 frames) {
    std::lock_guard lock(mutex_);
    if (auto found = devices_.find(id); found != devices_.end()) found->second.fragmentFrames = frames;
}

}  // namespace tarnwick::pulse
