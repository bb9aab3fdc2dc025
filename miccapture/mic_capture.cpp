#include "miccapture/mic_capture.h"

#include <charconv>
#include <string>

#include "frame/capture_error.h"
#include "frame/input_latency.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "frame/platform_wording.h"
#include "frame/retry.h"
#include "frame/stream_writer.h"
#include "miccapture/device_queries.h"
#include "miccapture/mic_constants.h"

namespace tarnwick::mic {

using namespace tarnwick::audio;

namespace {

std::string failed(const std::string& step, OSStatus status) {
    return step + " failed (" + std::to_string(status) + ")";
}

// The shortest decimal that reads back as the same double ("1.5").
std::string shortest(double value) {
    char text[32];
    auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

}  // namespace

MicCapture::MicCapture(std::optional<std::string> requestedUID)
    : requestedUID_(std::move(requestedUID)),
      monoScratch_(maxFramesPerSlice, 0.0f),
      listenerQueue_(std::make_unique<kit::SerialQueue>("tarnwick.miccapture.listen")) {}

MicCapture::~MicCapture() {
    stop();
    // No registration may point at the queue once it is gone.
    listeners_.removeAll();
    // Lets a listener or tick already queued finish while the fields exist.
    listenerQueue_.reset();
}

void MicCapture::start() {
    system_ = &audioSystem();
    for (int attempt = 1; attempt <= startAttempts; ++attempt) {
        runAttempt();
        if (startWait(firstFrame_, firstFrameTimeout)) {
            installListeners();
            startStallTimer();
            startSilenceReports();
            logStarted();
            recheckWhatListenersWatch();
            return;
        }
        log("AudioOutputUnitStart returned noErr but the unit delivered no audio in " + shortest(firstFrameTimeout) +
            " s — it is not running IO (attempt " + std::to_string(attempt) + "/" + std::to_string(startAttempts) +
            ")");
        releaseUnit();
        if (attempt < startAttempts) startPause(attemptPauseMicros);
    }
    throw CaptureError("unit started but delivered no audio — " + std::string(platformWording().notRunningIO), true);
}

// One attempt up to the wait for the first slice. A failing step throws and
// leaves what it built for stop to release.
void MicCapture::runAttempt() {
    while (firstFrame_.tryWait()) {
    }
    firstFrameSignalled_.store(false);
    chooseDevice();
    createUnit();
    configureUnit();
    silence_.setFrameRate(deviceRate_);
    timeline_.beginAttempt(deviceRate_, outputSampleRate, inputLatencyNanos(*system_, deviceID_, deviceRate_));
    configureClientFormat();
    allocateRenderBuffers();
    buildConverter();

    AURenderCallbackStruct callback{&MicCapture::inputCallback, this};
    OSStatus status = system_->AudioUnitSetProperty(unit_.load(), kUnitPropSetInputCallback, kUnitScopeGlobal, 0,
                                                    &callback, sizeof callback);
    if (status != 0) throw CaptureError(failed("SetInputCallback", status));

    status = system_->AudioUnitInitialize(unit_.load());
    if (status != 0) throw CaptureError(failed("AudioUnitInitialize", status));
    initialized_ = true;

    startUnit();
    writeHeaderOnce();
}

void MicCapture::chooseDevice() {
    deviceID_ = requestedUID_ ? inputDeviceWithUID(*requestedUID_) : defaultInputDevice();
    boundNominalRate_ = propertyValue<Float64>(deviceID_, kPropNominalSampleRate, kScopeGlobal, 0.0);
}

void MicCapture::createUnit() {
    AudioComponentDescription description{kUnitTypeOutput, kUnitSubTypeHALOutput, kUnitManufacturerApple, 0, 0};
    AudioComponent component = system_->AudioComponentFindNext(nullptr, &description);
    if (component == nullptr) throw CaptureError("no HALOutput audio component");
    AudioComponentInstance instance = nullptr;
    OSStatus status = system_->AudioComponentInstanceNew(component, &instance);
    if (status != 0 || instance == nullptr) throw CaptureError(failed("AudioComponentInstanceNew", status));
    unit_.store(instance);
}

void MicCapture::configureUnit() {
    AudioUnit unit = unit_.load();
    UInt32 enable = 1;
    OSStatus status = system_->AudioUnitSetProperty(unit, kUnitPropEnableIO, kUnitScopeInput, 1, &enable, sizeof enable);
    if (status != 0) throw CaptureError(failed("EnableIO(input)", status));

    UInt32 disable = 0;
    status = system_->AudioUnitSetProperty(unit, kUnitPropEnableIO, kUnitScopeOutput, 0, &disable, sizeof disable);
    if (status != 0) throw CaptureError(failed("EnableIO(output)", status));

    AudioDeviceID device = deviceID_;
    status = system_->AudioUnitSetProperty(unit, kUnitPropCurrentDevice, kUnitScopeGlobal, 0, &device, sizeof device);
    if (status != 0) throw CaptureError("could not bind device (" + std::to_string(status) + ")");

    AudioStreamBasicDescription deviceFormat{};
    UInt32 size = sizeof deviceFormat;
    status = system_->AudioUnitGetProperty(unit, kUnitPropStreamFormat, kUnitScopeInput, 1, &deviceFormat, &size);
    // Beyond maxInputChannels the client format's byte counts would overflow.
    if (status != 0 || !(deviceFormat.mSampleRate > 0) || deviceFormat.mChannelsPerFrame == 0 ||
        deviceFormat.mChannelsPerFrame > maxInputChannels) {
        throw CaptureError("could not read device input format (" + std::to_string(status) + ")");
    }
    deviceRate_ = deviceFormat.mSampleRate;
    channels_ = deviceFormat.mChannelsPerFrame;

    UInt32 maxFrames = maxFramesPerSlice;
    status = system_->AudioUnitSetProperty(unit, kUnitPropMaximumFramesPerSlice, kUnitScopeGlobal, 0, &maxFrames,
                                           sizeof maxFrames);
    if (status != 0) throw CaptureError(failed("MaximumFramesPerSlice", status));
}

void MicCapture::configureClientFormat() {
    AudioUnit unit = unit_.load();
    if (unit == nullptr) throw CaptureError("no audio unit");
    AudioStreamBasicDescription format{};
    format.mSampleRate = deviceRate_;
    format.mFormatID = kFormatLinearPCM;
    format.mFormatFlags = kFormatFlagIsFloat | kFormatFlagIsPacked;
    format.mBytesPerPacket = 4 * channels_;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 4 * channels_;
    format.mChannelsPerFrame = channels_;
    format.mBitsPerChannel = 32;
    OSStatus status =
        system_->AudioUnitSetProperty(unit, kUnitPropStreamFormat, kUnitScopeOutput, 1, &format, sizeof format);
    if (status == 0) {
        clientFormat_ = format;
        planar_ = false;
        return;
    }
    log("interleaved client format rejected (" + std::to_string(status) + ") — trying non-interleaved");
    format.mFormatFlags = kFormatFlagIsFloat | kFormatFlagIsPacked | kFormatFlagIsNonInterleaved;
    format.mBytesPerPacket = 4;
    format.mBytesPerFrame = 4;
    status = system_->AudioUnitSetProperty(unit, kUnitPropStreamFormat, kUnitScopeOutput, 1, &format, sizeof format);
    if (status != 0) throw CaptureError("could not set client format (" + std::to_string(status) + ")");
    clientFormat_ = format;
    planar_ = true;
}

void MicCapture::startUnit() {
    AudioUnit unit = unit_.load();
    OSStatus status = startWithRetry("AudioOutputUnitStart", [&] { return system_->AudioOutputUnitStart(unit); });
    if (status != 0) throw CaptureError(failed("AudioOutputUnitStart", status), status == kUnspecifiedError);
    running_ = true;
}

// The callback may already be delivering; writePcm drops its slices until the
// header is out, so nothing ever precedes the header.
void MicCapture::writeHeaderOnce() {
    if (headerSent_) return;
    UInt32 frames = propertyValue<UInt32>(deviceID_, kPropBufferFrameSize, kScopeInput, fallbackBufferFrames);
    if (!writeHeader(static_cast<std::int32_t>(outputSampleRate), 1, 32, static_cast<std::int32_t>(frames))) {
        throw CaptureError("stdout closed while writing header");
    }
    headerSent_ = true;
}

void MicCapture::logStarted() {
    std::string name = stringProperty(deviceID_, kPropName).value_or("?");
    log("capture started on \"" + name + "\": device " + std::to_string(wholeHertz(deviceRate_)) + " Hz " +
        std::to_string(channels_) + "ch" + (planar_ ? " (planar)" : "") + " → 48000 Hz 1ch" +
        (converter_ ? " (resampled)" : " (no resampling)"));
}

}  // namespace tarnwick::mic
