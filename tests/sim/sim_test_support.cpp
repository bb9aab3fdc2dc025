#include "tests/sim/sim_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "backends/model/limits.h"
#include "tests/support/child_process.h"
#include "tests/support/eventually.h"

namespace tarnwick::sim::testing {

std::shared_ptr<AudioSystem> open(const std::string& json, const std::string& tracePath) {
    return openFromText(json, "test.json", tracePath);
}

std::string scenarioError(const std::string& json, const std::string& sourceName) {
    try {
        openFromText(json, sourceName, "");
    } catch (const ScenarioError& error) {
        return error.what();
    }
    return "";
}

bool eventually(const std::function<bool()>& condition, double seconds) {
    return tarnwick::testing::eventually(condition, seconds, std::chrono::milliseconds(5));
}

void sleepSeconds(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

AudioObjectPropertyAddress address(UInt32 selector, UInt32 scope) { return {selector, scope, audio::kElementMain}; }

OSStatus readU32(AudioSystem& system, AudioObjectID object, UInt32 selector, UInt32* value, UInt32 scope) {
    auto a = address(selector, scope);
    UInt32 size = sizeof(UInt32);
    return system.AudioObjectGetPropertyData(object, &a, 0, nullptr, &size, value);
}

UInt32 defaultDevice(AudioSystem& system, UInt32 selector) {
    UInt32 device = 0xFFFFFFFFu;  // no object has this id: a read that writes nothing shows
    EXPECT_EQ(readU32(system, audio::kSystemObject, selector, &device), 0);
    return device;
}

OSStatus readDouble(AudioSystem& system, AudioObjectID object, UInt32 selector, double* value) {
    auto a = address(selector);
    UInt32 size = sizeof(double);
    return system.AudioObjectGetPropertyData(object, &a, 0, nullptr, &size, value);
}

std::optional<std::string> readString(AudioSystem& system, AudioObjectID object, UInt32 selector) {
    auto a = address(selector);
    audio::StringRef ref = nullptr;
    UInt32 size = sizeof ref;
    if (system.AudioObjectGetPropertyData(object, &a, 0, nullptr, &size, &ref) != 0) return std::nullopt;
    auto text = system.stringValue(ref);
    system.releaseString(ref);
    return text;
}

std::vector<UInt32> readDevices(AudioSystem& system) {
    auto a = address(audio::kPropDevices);
    UInt32 size = 0;
    if (system.AudioObjectGetPropertyDataSize(audio::kSystemObject, &a, 0, nullptr, &size) != 0) return {};
    std::vector<UInt32> ids(size / 4);
    if (system.AudioObjectGetPropertyData(audio::kSystemObject, &a, 0, nullptr, &size, ids.data()) != 0) return {};
    return ids;
}

std::vector<std::string> readLines(const std::string& path) { return tarnwick::testing::readLines(path); }

std::string tempTracePath() { return tarnwick::testing::tempPath(".trace"); }

namespace {
constexpr std::size_t kRecordedSeconds = 12;
}  // namespace

InputRecorder::InputRecorder(AudioSystem& system, bool planar, std::optional<AudioObjectID> device)
    : system_(system), planar_(planar) {
    AudioComponentDescription description{audio::kUnitTypeOutput, audio::kUnitSubTypeHALOutput,
                                          audio::kUnitManufacturerApple, 0, 0};
    AudioComponent component = system.AudioComponentFindNext(nullptr, &description);
    EXPECT_NE(component, nullptr);
    EXPECT_EQ(system.AudioComponentInstanceNew(component, &unit_), 0);
    UInt32 on = 1, off = 0;
    EXPECT_EQ(system.AudioUnitSetProperty(unit_, audio::kUnitPropEnableIO, audio::kUnitScopeInput, 1, &on, 4), 0);
    EXPECT_EQ(system.AudioUnitSetProperty(unit_, audio::kUnitPropEnableIO, audio::kUnitScopeOutput, 0, &off, 4), 0);
    if (device) {
        EXPECT_EQ(system.AudioUnitSetProperty(unit_, audio::kUnitPropCurrentDevice, audio::kUnitScopeGlobal, 0,
                                              &*device, 4),
                  0);
    }
    AudioStreamBasicDescription format{};
    UInt32 size = sizeof format;
    EXPECT_EQ(system.AudioUnitGetProperty(unit_, audio::kUnitPropStreamFormat, audio::kUnitScopeInput, 1, &format, &size),
              0);
    channels_ = format.mChannelsPerFrame;
    format.mFormatFlags = planar ? 41 : 9;
    format.mBytesPerFrame = format.mBytesPerPacket = planar ? 4 : 4 * channels_;
    EXPECT_EQ(system.AudioUnitSetProperty(unit_, audio::kUnitPropStreamFormat, audio::kUnitScopeOutput, 1, &format,
                                          sizeof format),
              0);
    AURenderCallbackStruct callbackRecord{&InputRecorder::callback, this};
    EXPECT_EQ(system.AudioUnitSetProperty(unit_, audio::kUnitPropSetInputCallback, audio::kUnitScopeGlobal, 0,
                                          &callbackRecord, sizeof callbackRecord),
              0);
    EXPECT_EQ(system.AudioUnitInitialize(unit_), 0);

    slices_.resize(40000);
    samples_.resize(48000 * kRecordedSeconds * std::max<UInt32>(1, channels_));
    if (planar) {
        scratch_.assign(channels_, std::vector<float>(model::kMaxBufferFrames));
    } else {
        scratch_.assign(1, std::vector<float>(model::kMaxBufferFrames * std::max<UInt32>(1, channels_)));
    }
    listMemory_.resize((8 + 16 * std::max<std::size_t>(1, channels_)) / 8 + 1);
}

InputRecorder::~InputRecorder() {
    if (unit_) {
        system_.AudioOutputUnitStop(unit_);
        system_.AudioComponentInstanceDispose(unit_);
    }
}

OSStatus InputRecorder::start() { return system_.AudioOutputUnitStart(unit_); }
OSStatus InputRecorder::stop() { return system_.AudioOutputUnitStop(unit_); }

OSStatus InputRecorder::dispose() {
    OSStatus status = system_.AudioComponentInstanceDispose(unit_);
    unit_ = nullptr;
    return status;
}

OSStatus InputRecorder::callback(void* self, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* stamp, UInt32 bus,
                                 UInt32 frames, AudioBufferList*) {
    return static_cast<InputRecorder*>(self)->onSlice(flags, stamp, bus, frames);
}

OSStatus InputRecorder::onSlice(AudioUnitRenderActionFlags* flags, const AudioTimeStamp* stamp, UInt32 bus,
                                UInt32 frames) {
    std::size_t k = sliceCount_.load(std::memory_order_relaxed);
    if (k >= slices_.size() || (framesRecorded_ + frames) * channels_ > samples_.size() || frames > model::kMaxBufferFrames) {
        return 0;
    }
    auto* list = reinterpret_cast<AudioBufferList*>(listMemory_.data());
    if (planar_) {
        list->mNumberBuffers = channels_;
        for (UInt32 c = 0; c < channels_; ++c) list->mBuffers[c] = AudioBuffer{1, frames * 4, scratch_[c].data()};
    } else {
        list->mNumberBuffers = 1;
        list->mBuffers[0] = AudioBuffer{channels_, frames * 4 * channels_, scratch_[0].data()};
    }
    OSStatus status = system_.AudioUnitRender(unit_, flags, stamp, bus, frames, list);
    if (status == 0) {
        float* out = samples_.data() + framesRecorded_ * channels_;
        for (UInt32 i = 0; i < frames; ++i) {
            for (UInt32 c = 0; c < channels_; ++c) {
                out[i * channels_ + c] = planar_ ? scratch_[c][i] : scratch_[0][i * channels_ + c];
            }
        }
    }
    slices_[k] = Slice{stamp->mSampleTime, frames, status, framesRecorded_, threadCounter ? threadCounter() : 0};
    if (status == 0) framesRecorded_ += frames;
    sliceCount_.store(k + 1, std::memory_order_release);
    std::size_t stopAfter = stopInsideAfter.load();
    if (stopAfter != 0 && k + 1 == stopAfter) insideStopStatus.store(system_.AudioOutputUnitStop(unit_));
    return status;
}

float counterValue(UInt32 channel, std::uint64_t frame) {
    return static_cast<float>(channel + static_cast<double>(frame % (1u << 20)) / static_cast<double>(1u << 20));
}

void recordSlices(InputRecorder& recorder, std::size_t slices) {
    ASSERT_EQ(recorder.start(), 0);
    ASSERT_TRUE(eventually([&] { return recorder.sliceCount() >= slices; }));
    ASSERT_EQ(recorder.stop(), 0);
}

std::string counterMismatch(const InputRecorder& recorder) {
    for (std::size_t k = 0; k < recorder.sliceCount(); ++k) {
        const auto& slice = recorder.slices()[k];
        if (slice.renderStatus != 0) continue;
        auto first = static_cast<std::uint64_t>(slice.sampleTime);
        for (UInt32 i = 0; i < slice.frames; ++i) {
            for (UInt32 c = 0; c < recorder.channels(); ++c) {
                float got = recorder.sample(slice.offset + i, c);
                float want = counterValue(c, first + i);
                if (got != want) {
                    return "slice " + std::to_string(k) + " frame " + std::to_string(i) + " channel " + std::to_string(c) +
                           ": got " + std::to_string(got) + ", want " + std::to_string(want);
                }
            }
        }
    }
    return "";
}

}  // namespace tarnwick::sim::testing
