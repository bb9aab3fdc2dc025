#include "syscapture/process_tap_capture.h"

#include <algorithm>
#include <string>

#include <nlohmann/json.hpp>

#include "frame/audio/audio_system.h"
#include "frame/capture_error.h"
#include "frame/input_latency.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "frame/platform_wording.h"
#include "frame/retry.h"
#include "frame/stream_writer.h"
#include "syscapture/constants.h"
#include "syscapture/output_device.h"
#include "syscapture/text_format.h"
#include "syscapture/uuid.h"

namespace tarnwick::sys {

using namespace tarnwick::audio;

namespace {

std::string statusText(OSStatus status) { return std::to_string(status); }

bool isPlanar(const AudioStreamBasicDescription& format) {
    return (format.mFormatFlags & kFormatFlagIsNonInterleaved) != 0;
}

}  // namespace

std::int32_t announcedChannels(const AudioStreamBasicDescription& format) {
    const UInt32 channels = format.mChannelsPerFrame;
    if (channels <= 1) return 1;
    if (isPlanar(format)) return 2;
    return channels > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<std::int32_t>(channels);
}

ProcessTapCapture::ProcessTapCapture()
    : ioQueue_("tarnwick.syscapture.io"),
      listenerQueue_("tarnwick.syscapture.listen"),
      effectiveSampleRate_(fallbackSampleRate),
      firstCycleOwner_(std::make_unique<kit::Semaphore>(0)) {
    firstCycle_.store(firstCycleOwner_.get());
    ensureRoom(std::size_t{2} * minInterleaveFrames);
}

// The engine owns no audio object by itself; whoever started it stops it first.
ProcessTapCapture::~ProcessTapCapture() {
    // No registration may point at the listener queue once it is gone, also
    // for an engine that was never stopped.
    listeners_.removeAll();
}

void ProcessTapCapture::resetAttempt() {
    // No IO proc exists here, so nothing on ioQueue can see the swap.
    auto fresh = std::make_unique<kit::Semaphore>(0);
    firstCycle_.store(fresh.get(), std::memory_order_release);
    firstCycleOwner_ = std::move(fresh);
    firstCycleSignalled_.store(false);
    formatConfirmed_.store(false);
    callbackCount_.store(0);
}

void ProcessTapCapture::ensureRoom(std::size_t floats) {
    if (floats <= roomFloats_.load()) return;
    auto room = std::make_unique<float[]>(floats);
    room_.store(room.get(), std::memory_order_release);
    roomFloats_.store(floats, std::memory_order_release);
    roomOwner_ = std::move(room);
}

void ProcessTapCapture::startOnce() {
    resetAttempt();
    waitForOutputDeviceToSettle();
    const OutputDevice device = bindOutputDevice();
    startKeepAlive(device);
    const std::string tapUUID = createTap();
    createAggregate(device, tapUUID);
    const BufferSizes buffers = alignAggregateBuffer(device);
    startIO(buffers.largestCycle);
    sendHeader(buffers.output);
}

OutputDevice ProcessTapCapture::bindOutputDevice() {
    const OutputDevice device = defaultOutputDevice();
    outputDeviceID_ = device.id;
    Float64 outputRate = 0;
    UInt32 size = sizeof outputRate;
    const AudioObjectPropertyAddress rateAddress{kPropNominalSampleRate, kScopeGlobal, kElementMain};
    audioSystem().AudioObjectGetPropertyData(device.id, &rateAddress, 0, nullptr, &size, &outputRate);
    if (outputRate > 0) effectiveSampleRate_ = outputRate;
    boundOutputRate_ = outputRate;
    return device;
}

void ProcessTapCapture::startKeepAlive(const OutputDevice& device) {
    keepAlive_.start(device.id, boundOutputRate_ > 0 ? boundOutputRate_ : effectiveSampleRate_);
}

std::string ProcessTapCapture::createTap() {
    auto& system = audioSystem();
    TapDescription tap;
    tap.excludedProcesses = {};
    tap.stereoMixdown = true;
    tap.global = true;
    tap.name = "Tarnwick system-audio tap";
    tap.isPrivate = true;
    tap.uuid = newUUID();

    AudioObjectID newTap = 0;
    OSStatus status = system.AudioHardwareCreateProcessTap(tap, &newTap);
    // Whatever the status, an ID handed out is ours to destroy.
    tapID_ = newTap;
    if (status != 0 || newTap == 0) {
        throw CaptureError("AudioHardwareCreateProcessTap failed (" + statusText(status) +
                           ") — System Audio Recording permission denied?");
    }

    AudioStreamBasicDescription tapFormat{};
    UInt32 size = sizeof tapFormat;
    const AudioObjectPropertyAddress formatAddress{kPropTapFormat, kScopeGlobal, kElementMain};
    status = system.AudioObjectGetPropertyData(tapID_, &formatAddress, 0, nullptr, &size, &tapFormat);
    if (status != 0) throw CaptureError("could not read tap format (" + statusText(status) + ")");
    format_ = tapFormat;
    planar_.store(isPlanar(format_));
    return tap.uuid;
}

void ProcessTapCapture::createAggregate(const OutputDevice& device, const std::string& tapUUID) {
    // The flags are numbers 0 or 1, the value type Apple's headers give
    // them: a boolean object is not documented to be read.
    const nlohmann::json aggregate = {
        {"name", "Tarnwick Tap"},
        {"uid", newUUID()},
        {"master", device.uid},
        {"private", 1},
        {"stacked", 0},
        {"tapautostart", 1},
        {"subdevices", nlohmann::json::array({{{"uid", device.uid}}})},
        {"taps", nlohmann::json::array({{{"drift", 1}, {"uid", tapUUID}}})},
    };
    const OSStatus status = audioSystem().AudioHardwareCreateAggregateDevice(aggregate, &aggregateID_);
    if (status != 0 || aggregateID_ == 0) {
        throw CaptureError("AudioHardwareCreateAggregateDevice failed (" + statusText(status) + ")");
    }
}

ProcessTapCapture::BufferSizes ProcessTapCapture::alignAggregateBuffer(const OutputDevice& device) {
    auto& system = audioSystem();
    UInt32 outputBuffer = 0;
    UInt32 size = sizeof outputBuffer;
    const AudioObjectPropertyAddress outputBufferAddress{kPropBufferFrameSize, kScopeOutput, kElementMain};
    system.AudioObjectGetPropertyData(device.id, &outputBufferAddress, 0, nullptr, &size, &outputBuffer);
    if (outputBuffer == 0) outputBuffer = fallbackBufferFrames;
    UInt32 aggregateBuffer = 0;
    size = sizeof aggregateBuffer;
    const AudioObjectPropertyAddress aggregateBufferAddress{kPropBufferFrameSize, kScopeGlobal, kElementMain};
    system.AudioObjectGetPropertyData(aggregateID_, &aggregateBufferAddress, 0, nullptr, &size, &aggregateBuffer);

    log("output: " + wholeNumber(boundOutputRate_) + " Hz, buf=" + std::to_string(outputBuffer) +
        "; aggregate default buf=" + std::to_string(aggregateBuffer) + "; tap claims " +
        wholeNumber(format_.mSampleRate) + " Hz → header will use " + wholeNumber(effectiveSampleRate_) + " Hz");

    UInt32 largestCycle = std::max(outputBuffer, aggregateBuffer);
    if (aggregateBuffer != outputBuffer) {
        const OSStatus setStatus = system.AudioObjectSetPropertyData(aggregateID_, &aggregateBufferAddress, 0,
                                                                     nullptr, sizeof outputBuffer, &outputBuffer);
        UInt32 actual = 0;
        size = sizeof actual;
        system.AudioObjectGetPropertyData(aggregateID_, &aggregateBufferAddress, 0, nullptr, &size, &actual);
        log("aggregate buf corrected: err=" + statusText(setStatus) + ", actual=" + std::to_string(actual));
        largestCycle = std::max(largestCycle, actual);
    }
    return {outputBuffer, largestCycle};
}

void ProcessTapCapture::startIO(UInt32 largestCycle) {
    auto& system = audioSystem();
    // Everything the IO block reads is in place before it can first run.
    ensureRoom(std::size_t{2} * largestCycle);
    silence_.setFrameRate(effectiveSampleRate_);
    timeline_.beginAttempt(effectiveSampleRate_, effectiveSampleRate_,
                           inputLatencyNanos(system, aggregateID_, effectiveSampleRate_));
    expectedChannels_.store(headerSent_ ? headerChannels_.load() : announcedChannels(format_));

    std::weak_ptr<ProcessTapCapture> weakSelf = weak_from_this();
    DeviceIOBlock block = [weakSelf](const AudioTimeStamp*, const AudioBufferList* input,
                                     const AudioTimeStamp* inputTime, AudioBufferList* output, const AudioTimeStamp*) {
        if (auto self = weakSelf.lock()) self->handleIOCycle(input, output, inputTime);
    };
    OSStatus status = system.AudioDeviceCreateIOProcIDWithBlock(&ioProcID_, aggregateID_, &ioQueue_, std::move(block));
    if (status != 0 || ioProcID_ == nullptr) {
        throw CaptureError("AudioDeviceCreateIOProcIDWithBlock failed (" + statusText(status) + ")");
    }

    const AudioObjectID aggregateID = aggregateID_;
    const AudioDeviceIOProcID procID = ioProcID_;
    status = startWithRetry("AudioDeviceStart", [&] { return system.AudioDeviceStart(aggregateID, procID); });
    if (status != 0) {
        throw CaptureError("AudioDeviceStart failed (" + statusText(status) + ")", status == kUnspecifiedError);
    }
}

void ProcessTapCapture::sendHeader(UInt32 outputBuffer) {
    const std::int32_t channels = announcedChannels(format_);
    const std::int32_t sampleRate = truncateToInt32(effectiveSampleRate_);
    if (headerSent_) {
        if (channels == headerChannels_.load() && sampleRate == headerSampleRate_) {
            formatConfirmed_.store(true, std::memory_order_release);
            return;
        }
        throw CaptureError("format changed across start attempts (" + std::to_string(headerSampleRate_) + " Hz/" +
                           std::to_string(headerChannels_.load()) + "ch → " + std::to_string(sampleRate) + " Hz/" +
                           std::to_string(channels) + "ch) — parent will restart capture");
    }
    if (!writeHeader(sampleRate, channels, 32, static_cast<std::int32_t>(outputBuffer))) {
        throw CaptureError("stdout closed while writing header");
    }
    headerChannels_.store(channels);
    headerSampleRate_ = sampleRate;
    headerSent_ = true;
    formatConfirmed_.store(true, std::memory_order_release);
    log("header sent at start: " + std::to_string(sampleRate) + " Hz, " + std::to_string(channels) +
        "ch, 32-bit, frame=" + std::to_string(outputBuffer));
}

void ProcessTapCapture::start() {
    for (int attempt = 1; attempt <= startAttempts; ++attempt) {
        startOnce();
        if (startWait(firstCycle(), firstCycleTimeout)) {
            installListeners();
            startSilenceReports();
            log("capture started: " + wholeNumber(effectiveSampleRate_) + " Hz (tap " +
                wholeNumber(format_.mSampleRate) + " Hz), " + std::to_string(format_.mChannelsPerFrame) + "ch" +
                (isPlanar(format_) ? " (planar)" : ""));
            recheckWhatListenersWatch();
            return;
        }
        log("AudioDeviceStart returned noErr but the tap delivered no IO cycle in " +
            decimalSeconds(firstCycleTimeout) + " s — " + std::string(platformWording().notRunningIO) + " (attempt " +
            std::to_string(attempt) + "/" + std::to_string(startAttempts) + ")");
        teardown();
        if (attempt < startAttempts) startPause(attemptPauseMicros);
    }
    throw CaptureError("tap started but delivered no audio — " + std::string(platformWording().notRunningIO), true);
}

}  // namespace tarnwick::sys
