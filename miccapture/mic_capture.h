#pragma once
// MicCapture: records one input device through the HAL output unit, averages
// its channels to mono, converts to 48000 Hz and writes the PCM stream.
//
// Threads: start runs on the main thread; stop on whichever thread asked for
// the shutdown (the frame serialises it with start); the input callback on the
// unit's IO thread; the stall watchdog and the device listeners on
// listenerQueue. What the IO thread shares with the others is atomic; the
// render memory and converter are built before the unit starts and freed only
// after it has stopped and no callback is left inside it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frame/audio/audio_system.h"
#include "frame/audio/listener_registrations.h"
#include "frame/device_timeline.h"
#include "frame/kit/repeating_timer.h"
#include "frame/kit/semaphore.h"
#include "frame/kit/serial_queue.h"
#include "frame/silence_watch.h"
#include "miccapture/mic_constants.h"

namespace tarnwick::mic {

class MicCapture {
public:
    // Touches no audio hardware. Without a UID the capture follows the
    // system's default input device.
    explicit MicCapture(std::optional<std::string> requestedUID);
    ~MicCapture();
    MicCapture(const MicCapture&) = delete;
    MicCapture& operator=(const MicCapture&) = delete;

    // Blocks until audio provably flows; throws CaptureError (or the frame's
    // StartInterrupted when a shutdown begins meanwhile).
    void start();

    // Idempotent; never fails.
    void stop();

    // The procedure registered as the unit's input callback; the context is
    // the engine.
    static OSStatus inputCallback(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                  const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber, UInt32 inNumberFrames,
                                  AudioBufferList* ioData);

    OSStatus renderInput(AudioUnitRenderActionFlags* ioActionFlags, const AudioTimeStamp* inTimeStamp,
                         UInt32 inBusNumber, UInt32 inNumberFrames);

private:
    // Start (mic_capture.cpp).
    void runAttempt();
    void chooseDevice();
    void createUnit();
    void configureUnit();
    void configureClientFormat();
    void startUnit();
    void writeHeaderOnce();
    void logStarted();

    // Render path (render_path.cpp).
    void allocateRenderBuffers();
    void buildConverter();
    void downmixToMono(UInt32 frames);
    bool convertAndWrite(UInt32 frames);

    // Health (health.cpp).
    void installListeners();
    void recheckWhatListenersWatch();
    void startStallTimer();
    void checkForStall();

    // Digital silence (silence_report.cpp): the listener queue's check.
    void startSilenceReports();
    void reportSilence();

    // Teardown (teardown.cpp).
    void releaseUnit();
    void waitForCallbacksToLeave();

    struct FreeDeleter {
        void operator()(void* p) const;
    };

    const std::optional<std::string> requestedUID_;

    // The audio system the IO thread calls, fixed for the attempt.
    audio::AudioSystem* system_ = nullptr;

    std::atomic<AudioUnit> unit_{nullptr};
    AudioDeviceID deviceID_ = 0;
    bool initialized_ = false;
    bool running_ = false;
    AudioStreamBasicDescription clientFormat_{};
    bool planar_ = false;
    UInt32 channels_ = 1;
    double deviceRate_ = 48000.0;
    // The device's nominal rate when this attempt bound it; 0 or less when unreadable.
    double boundNominalRate_ = 0;

    std::unique_ptr<AudioBufferList, FreeDeleter> renderList_;
    std::vector<std::unique_ptr<unsigned char[]>> renderStorage_;
    std::vector<float> monoScratch_;

    std::unique_ptr<audio::SampleRateConverter> converter_;
    std::unique_ptr<float[]> converterInput_;
    std::unique_ptr<float[]> converterOutput_;
    UInt32 converterOutputCapacity_ = 0;

    std::atomic<bool> stopped_{false};
    std::atomic<bool> oversizeLogged_{false};
    std::atomic<bool> renderErrorLogged_{false};
    std::atomic<bool> resampleErrorLogged_{false};

    // One semaphore for the life of the engine, drained at the start of each
    // attempt: the previous attempt's unit has stopped by then, so no stale
    // signal can arrive after the drain.
    kit::Semaphore firstFrame_;
    std::atomic<bool> firstFrameSignalled_{false};
    bool headerSent_ = false;

    // When the IO thread last finished a slice (rendered it, and written it
    // to the parent), and whether it is writing one now: a slice that waits
    // on a parent who does not read is late for the parent's reasons, not
    // the device's, and the stall watchdog leaves it alone.
    std::atomic<std::uint64_t> lastRenderMach_{0};
    std::atomic<bool> writingToParent_{false};
    // Callbacks currently past the unit check (see waitForCallbacksToLeave).
    std::atomic<int> callbacksInside_{0};

    // The default-input and rate listeners, ended by stop (and by the
    // destructor, should a start still have been installing them).
    audio::ListenerRegistrations listeners_;

    std::unique_ptr<kit::RepeatingTimer> stallTimer_;
    bool stallLogged_ = false;           // listenerQueue only
    std::uint64_t stallStartMach_ = 0;   // listenerQueue only

    // Fed by the input callback, read by its own timer on listenerQueue.
    SilenceWatch silence_{silenceThresholdSeconds};
    // Kept by the input callback, reported on the same timer.
    DeviceTimeline timeline_{"input"};
    std::unique_ptr<kit::RepeatingTimer> silenceTimer_;

    // Declared last so that it is destroyed first, running its remaining
    // items while every other field still exists.
    std::unique_ptr<kit::SerialQueue> listenerQueue_;
};

}  // namespace tarnwick::mic
