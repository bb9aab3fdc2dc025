#pragma once
// The system-audio engine: a process tap over every process, wrapped in a
// private aggregate device clocked by the default output device, whose IO
// block writes each cycle's samples to standard output while recording is on.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "frame/audio/listener_registrations.h"
#include "frame/audio/platform_types.h"
#include "frame/device_timeline.h"
#include "frame/kit/repeating_timer.h"
#include "frame/kit/semaphore.h"
#include "frame/kit/serial_queue.h"
#include "frame/silence_watch.h"
#include "syscapture/constants.h"
#include "syscapture/output_device.h"
#include "syscapture/silent_keep_alive.h"

namespace tarnwick::sys {

class ProcessTapCapture : public std::enable_shared_from_this<ProcessTapCapture> {
public:
    // Touches no audio object. Own it through a shared_ptr: the IO block
    // holds the engine weakly.
    ProcessTapCapture();
    ~ProcessTapCapture();
    ProcessTapCapture(const ProcessTapCapture&) = delete;
    ProcessTapCapture& operator=(const ProcessTapCapture&) = delete;

    // Up to two attempts, each proven by a first IO cycle within 2.0 s; then
    // installs the output-device listeners. Throws CaptureError (noIO when
    // the audio system runs no IO); StartInterrupted passes through.
    void start();

    // One attempt: settle, keep-alive, tap, aggregate device, IO proc, device
    // start, header. What it built stays for teardown, also on failure.
    void startOnce();

    // Once only, whichever thread calls first; later calls do nothing.
    void stop();

    // Releases keep-alive, IO proc, aggregate device and tap in that order.
    // Idempotent; never logs, never fails.
    void teardown();

    // The IO block's body, on ioQueue: counts the cycle, proves IO flows,
    // logs the first cycles, writes the samples while recording is on, with
    // silence first for device time skipped since the cycle before
    // (`inputTime` may be null: the cycle then follows on). Allocates
    // nothing and takes no lock but the record gate's (apart from the log
    // lines of cycles 1 to 5 and 500).
    void handleIOCycle(const AudioBufferList* input, const AudioBufferList* output,
                       const AudioTimeStamp* inputTime = nullptr) noexcept;

    bool isStopped() const { return stopped_.load(); }
    std::int64_t callbackCount() const { return callbackCount_.load(); }
    kit::Semaphore& firstCycle() const { return *firstCycle_.load(); }

private:
    // The steps of one attempt, in order.
    struct BufferSizes {
        UInt32 output;        // the output device's, which the header announces
        UInt32 largestCycle;  // the most frames a cycle of this attempt can carry
    };
    void resetAttempt();
    // Reads the default output device and its rate, which the header uses.
    OutputDevice bindOutputDevice();
    // Keeps the output device running while no other program plays.
    void startKeepAlive(const OutputDevice& device);
    // Creates the tap and reads its format; returns its UUID.
    std::string createTap();
    // Wraps the tap in a private aggregate device clocked by `device`.
    void createAggregate(const OutputDevice& device, const std::string& tapUUID);
    // Asks the aggregate device for the output device's buffer size.
    BufferSizes alignAggregateBuffer(const OutputDevice& device);
    // Makes room for the largest cycle, creates the IO proc and starts it.
    void startIO(UInt32 largestCycle);
    // Writes the header once; a later attempt must match what it announced.
    void sendHeader(UInt32 outputBuffer);
    void ensureRoom(std::size_t floats);
    // Writes `frames` frames of `channels` samples each, sample (frame, c)
    // taken from `sampleAt`, through the room in pieces of whole frames.
    template <typename SampleAt>
    bool writeFrames(UInt32 frames, std::uint32_t channels, SampleAt sampleAt) noexcept;
    // Writes one recorded cycle as the header announces it; false when the
    // cycle carried no data or a write failed.
    bool writeCycle(const AudioBufferList& input, UInt32 frames, bool planar, std::uint64_t channels,
                    std::uint32_t announced) noexcept;
    void installListeners();
    void recheckWhatListenersWatch();
    // Digital silence (silence_report.cpp): the listener queue's check.
    void startSilenceReports();
    void reportSilence();

    // Platform objects of the current attempt; touched by start and teardown,
    // which the frame's start lock and `stopped` keep apart.
    AudioObjectID tapID_ = 0;
    AudioObjectID aggregateID_ = 0;
    AudioDeviceIOProcID ioProcID_ = nullptr;

    kit::SerialQueue ioQueue_;
    kit::SerialQueue listenerQueue_;
    // The output-device listeners, ended by stop and by the destructor.
    audio::ListenerRegistrations listeners_;

    AudioStreamBasicDescription format_{};
    double effectiveSampleRate_;
    std::int32_t headerSampleRate_ = 0;
    bool headerSent_ = false;
    SilentKeepAlive keepAlive_;
    AudioObjectID outputDeviceID_ = 0;
    // The output rate this attempt bound to; 0 or less when it could not be read.
    double boundOutputRate_ = 0;

    // Shared with the IO block.
    std::atomic<bool> planar_{false};
    std::atomic<std::int32_t> headerChannels_{0};
    // The channel count this attempt announces (or an earlier attempt did):
    // what the first cycle is checked against, known before the device starts.
    std::atomic<std::int32_t> expectedChannels_{0};
    std::atomic<bool> stopped_{false};
    std::atomic<std::int64_t> callbackCount_{0};
    std::atomic<std::uint64_t> callbackStartMachTime_{0};
    std::atomic<bool> firstCycleSignalled_{false};
    std::atomic<kit::Semaphore*> firstCycle_{nullptr};
    // Whether this attempt's format is the one announced: until then its
    // cycles are not written (a second attempt whose format changed fails
    // without a single sample of the new format reaching the parent).
    std::atomic<bool> formatConfirmed_{false};
    std::unique_ptr<kit::Semaphore> firstCycleOwner_;
    // Room for laying out a cycle as the header announces it (planar stereo
    // interleaved, channels added or dropped): replaced only while no IO proc
    // exists.
    std::atomic<float*> room_{nullptr};
    std::atomic<std::size_t> roomFloats_{0};
    std::unique_ptr<float[]> roomOwner_;

    // Fed by the IO block, read by the listener queue's timer. The timer is
    // declared last so that it is gone before anything its ticks touch.
    SilenceWatch silence_{silenceThresholdSeconds};
    DeviceTimeline timeline_{"tap"};
    int ticksUntilProcessQuery_ = 0;  // listenerQueue only
    std::unique_ptr<kit::RepeatingTimer> silenceTimer_;
};

// Channel count announced for a tap format: planar taps carry at most the
// first two channels; a format claiming no channel announces one.
std::int32_t announcedChannels(const AudioStreamBasicDescription& format);

}  // namespace tarnwick::sys
