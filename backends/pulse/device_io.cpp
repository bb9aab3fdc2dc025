#include "backends/pulse/device_io.h"

#include <algorithm>
#include <cmath>

#include "backends/model/aggregate_description.h"
#include "backends/model/io_handover.h"
#include "frame/host_clock.h"

namespace tarnwick::pulse {

namespace {

// IO procs are numbers dressed as the platform's handle type, never pointers
// to our objects.
constexpr std::uintptr_t kProcHandleBase = 0x5B000000;

std::uintptr_t procKey(AudioDeviceIOProcID proc) { return reinterpret_cast<std::uintptr_t>(proc); }

}  // namespace

TapStream::TapStream(Connection& connection, ServerDevices& devices, kit::SerialQueue* queue,
                     audio::DeviceIOBlock block)
    : ServerStream(connection), devices_(devices), queue_(queue), block_(std::move(block)) {}

void TapStream::lost() {
    // The monitor ends with its sink. The caller has no IO error to see, but
    // it listens for the default output: a sink that goes away is no longer
    // the default, which it learns at once rather than from a silent stream.
    if (connection_.alive()) devices_.vanished(sink_);
}

OSStatus TapStream::start(const ServerDevice& sink, UInt32 fragmentFrames) {
    if (sink.monitorSource.empty()) return kBadDeviceError;
    sink_ = sink.id;
    spec_.format = PA_SAMPLE_FLOAT32LE;
    spec_.rate = static_cast<uint32_t>(sink.rate);
    spec_.channels = kTapChannels;
    if (!pa_sample_spec_valid(&spec_)) return audio::kFormatNotSupported;
    pa_channel_map map;
    pa_channel_map_init_stereo(&map);
    // Cycles of the buffer size the caller set, else of the fragment asked for.
    const UInt32 cycleFrames =
        fragmentFrames > 0 ? fragmentFrames : static_cast<UInt32>(std::lround(sink.rate * kFragmentSeconds));
    pump_.allocate(cycleFrames, pa_frame_size(&spec_), sink.rate);
    // The monitor is named from the sink's own information: the server's
    // alias for the default monitor does not mean the same on every server.
    return openRecord(sink.monitorSource, spec_, map, fragmentFrames,
                      static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE | PA_STREAM_AUTO_TIMING_UPDATE));
}

void TapStream::ready(pa_stream* stream) {
    // What arrives until the proc takes the stream waits in the ring.
    const std::size_t granted = grantedFragmentBytes(stream);
    if (granted > kLargestFragmentBytes) {
        pump_.allocate(pump_.cycleFrames(), pa_frame_size(&spec_), spec_.rate, kPumpRingSeconds, granted);
    }
}

void TapStream::startDelivering() {
    pump_.start([this](const unsigned char* data, UInt32 frames, std::uint64_t sampleTime,
                       std::uint64_t host) { deliver(data, frames, sampleTime, host); },
                nullptr, "tap-io", openerSignals_);
}

void TapStream::readable(pa_stream* stream) { drainInto(stream, pump_, pa_frame_size(&spec_)); }

void TapStream::deliver(const unsigned char* data, UInt32 frames, std::uint64_t sampleTime,
                        std::uint64_t host) noexcept {
    AudioBufferList input{};
    input.mNumberBuffers = 1;
    input.mBuffers[0].mNumberChannels = kTapChannels;
    input.mBuffers[0].mDataByteSize = frames * kTapChannels * static_cast<UInt32>(sizeof(float));
    input.mBuffers[0].mData = const_cast<unsigned char*>(data);  // the block only reads its input
    AudioTimeStamp now{};
    now.mSampleTime = static_cast<Float64>(sampleTime);
    now.mHostTime = host;
    now.mRateScalar = 1.0;
    now.mFlags = 0x1 | 0x2;  // sample time and host time valid
    model::runIOBlock(queue_, [this] { return running_.load(std::memory_order_acquire); }, block_, &now, &input, &now,
                      nullptr, &now);
}

OSStatus DeviceIO::createTap(const audio::TapDescription& description, AudioObjectID* outTapID) {
    if (!outTapID) return audio::kInvalidParameterError;
    const AudioObjectID id = nextID_.fetch_add(1);
    {
        std::lock_guard lock(mutex_);
        taps_.emplace(id, description);
    }
    *outTapID = id;
    return 0;
}

OSStatus DeviceIO::destroyTap(AudioObjectID tap) {
    std::lock_guard lock(mutex_);
    return taps_.erase(tap) ? 0 : audio::kBadObjectError;
}

OSStatus DeviceIO::createAggregate(const nlohmann::json& description, AudioObjectID* outDeviceID) {
    if (!outDeviceID || !description.is_object()) return audio::kInvalidParameterError;
    const model::AggregateDescription asked = model::parseAggregateDescription(description);
    AggregateInfo aggregate;
    aggregate.uid = asked.uid;
    aggregate.name = asked.name;
    // Only a sink has a monitor to record.
    std::optional<ServerDevice> main = asked.mainUid ? devices_.byUid(*asked.mainUid) : std::nullopt;
    if (!main || !main->isSink) return kBadDeviceError;
    aggregate.main = main->id;

    std::lock_guard lock(mutex_);
    for (const auto& tapUid : asked.taps) {
        bool known = false;
        for (const auto& [tapId, tap] : taps_) known = known || (tapUid && tap.uuid == *tapUid);
        if (!known) return audio::kBadObjectError;
        aggregate.hasTap = true;
    }
    const AudioObjectID id = nextID_.fetch_add(1);
    aggregates_.emplace(id, std::move(aggregate));
    *outDeviceID = id;
    return 0;
}

OSStatus DeviceIO::destroyAggregate(AudioObjectID device) {
    std::vector<std::shared_ptr<TapStream>> streams;
    {
        std::lock_guard lock(mutex_);
        if (!aggregates_.erase(device)) return audio::kBadObjectError;
        // Its IO procs go with it.
        for (auto it = procs_.begin(); it != procs_.end();) {
            if (it->second.device == device) {
                if (it->second.stream) streams.push_back(std::move(it->second.stream));
                it = procs_.erase(it);
            } else {
                ++it;
            }
        }
    }
    retire(std::move(streams));
    return 0;
}

OSStatus DeviceIO::createIOProc(AudioDeviceIOProcID* outProc, AudioObjectID device, kit::SerialQueue* queue,
                                audio::DeviceIOBlock block) {
    if (!outProc || !block) return audio::kInvalidParameterError;
    std::lock_guard lock(mutex_);
    if (!aggregates_.count(device)) return devices_.byId(device) ? audio::kIllegalOperationError : audio::kBadObjectError;
    auto handle = reinterpret_cast<AudioDeviceIOProcID>(kProcHandleBase + nextProc_++);
    procs_.emplace(procKey(handle), Proc{device, queue, std::move(block), nullptr});
    *outProc = handle;
    return 0;
}

OSStatus DeviceIO::startDevice(AudioObjectID device, AudioDeviceIOProcID proc) {
    std::shared_ptr<TapStream> stream;
    std::optional<ServerDevice> sink;
    UInt32 fragmentFrames = 0;
    {
        std::lock_guard lock(mutex_);
        auto aggregate = aggregates_.find(device);
        if (aggregate == aggregates_.end()) return audio::kBadObjectError;
        if (!proc) return 0;  // the hardware alone: nothing to call
        auto found = procs_.find(procKey(proc));
        if (found == procs_.end() || found->second.device != device) return audio::kIllegalOperationError;
        if (found->second.stream) return 0;
        sink = devices_.byId(aggregate->second.main);
        if (!sink) return kBadDeviceError;
        fragmentFrames = aggregate->second.bufferFrames;
        stream = std::make_shared<TapStream>(connection_, devices_, found->second.queue, found->second.block);
    }
    // Outside the lock: the server may take a while to answer.
    OSStatus status = stream->start(*sink, fragmentFrames);
    if (status != 0) return status;
    devices_.setFragmentFrames(sink->id, stream->cycleFrames());
    OSStatus result = 0;
    {
        std::lock_guard lock(mutex_);
        auto found = procs_.find(procKey(proc));
        if (found != procs_.end() && !found->second.stream) {
            // Under the lock, as a stop or destroy that follows must find it.
            stream->startDelivering();
            found->second.stream = std::move(stream);
            return 0;
        }
        // Destroyed or started meanwhile: this stream never delivers.
        result = found == procs_.end() ? audio::kIllegalOperationError : 0;
    }
    retire({std::move(stream)});
    return result;
}

OSStatus DeviceIO::stopDevice(AudioObjectID device, AudioDeviceIOProcID proc) {
    std::vector<std::shared_ptr<TapStream>> streams;
    {
        std::lock_guard lock(mutex_);
        if (!aggregates_.count(device)) return audio::kBadObjectError;
        if (!proc) return 0;
        auto found = procs_.find(procKey(proc));
        if (found == procs_.end() || found->second.device != device) return audio::kIllegalOperationError;
        if (found->second.stream) streams.push_back(std::move(found->second.stream));
    }
    retire(std::move(streams));
    return 0;
}

OSStatus DeviceIO::destroyIOProc(AudioObjectID device, AudioDeviceIOProcID proc) {
    std::vector<std::shared_ptr<TapStream>> streams;
    {
        std::lock_guard lock(mutex_);
        if (!aggregates_.count(device)) return audio::kBadObjectError;
        auto found = procs_.find(procKey(proc));
        if (found == procs_.end() || found->second.device != device) return audio::kIllegalOperationError;
        if (found->second.stream) streams.push_back(std::move(found->second.stream));
        procs_.erase(found);
    }
    retire(std::move(streams));
    return 0;
}

void DeviceIO::retire(std::vector<std::shared_ptr<TapStream>> streams) {
    std::vector<std::shared_ptr<TapStream>> waiting;
    for (auto& stream : streams) {
        stream->stopDelivering();
        stream->close();
        if (stream->joinWouldDeadlock()) {
            std::lock_guard lock(mutex_);
            retired_.push_back(std::move(stream));
        } else {
            waiting.push_back(std::move(stream));
        }
    }
    if (waiting.empty()) return;
    // From a safe place, streams left earlier can be waited for too.
    {
        std::lock_guard lock(mutex_);
        for (auto it = retired_.begin(); it != retired_.end();) {
            if ((*it)->joinWouldDeadlock()) {
                ++it;
            } else {
                waiting.push_back(std::move(*it));
                it = retired_.erase(it);
            }
        }
    }
    for (auto& stream : waiting) stream->join();
}

void DeviceIO::stopAll() {
    std::vector<std::shared_ptr<TapStream>> streams;
    {
        std::lock_guard lock(mutex_);
        for (auto& [key, proc] : procs_) {
            if (proc.stream) streams.push_back(std::move(proc.stream));
        }
        for (auto& stream : retired_) streams.push_back(std::move(stream));
        retired_.clear();
    }
    for (auto& stream : streams) {
        stream->stopDelivering();
        stream->close();
        if (!stream->joinWouldDeadlock()) stream->join();
    }
}

bool DeviceIO::isTap(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    return taps_.count(id) > 0;
}

std::optional<DeviceIO::AggregateInfo> DeviceIO::aggregate(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    auto found = aggregates_.find(id);
    if (found == aggregates_.end()) return std::nullopt;
    return found->second;
}

bool DeviceIO::setAggregateBufferFrames(AudioObjectID id, UInt32 frames) {
    std::lock_guard lock(mutex_);
    auto found = aggregates_.find(id);
    if (found == aggregates_.end()) return false;
    found->second.bufferFrames = frames;  // in force from the next AudioDeviceStart
    return true;
}

}  // namespace tarnwick::pulse
