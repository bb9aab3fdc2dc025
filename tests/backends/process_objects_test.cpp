// Process objects answered from a private PulseAudio server: other processes
// playing into the default sink, each with its PID and whether it plays, and
// this process itself, whose own keep-alive stream never counts as playing.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "backends/pulse/pulse_system.h"
#include "tests/pulse/sound_server.h"

namespace tarnwick::pulse {
namespace {

using testing::pulse::ServerKind;

std::vector<AudioObjectID> processObjects(audio::AudioSystem& system) {
    AudioObjectPropertyAddress address{audio::kPropProcessObjectList, audio::kScopeGlobal, audio::kElementMain};
    UInt32 size = 0;
    if (system.AudioObjectGetPropertyDataSize(audio::kSystemObject, &address, 0, nullptr, &size) != 0) return {};
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    if (system.AudioObjectGetPropertyData(audio::kSystemObject, &address, 0, nullptr, &size, ids.data()) != 0) return {};
    return ids;
}

template <typename T>
T objectValue(audio::AudioSystem& system, AudioObjectID object, AudioObjectPropertySelector selector, T fallback) {
    AudioObjectPropertyAddress address{selector, audio::kScopeGlobal, audio::kElementMain};
    UInt32 size = sizeof(T);
    T value = fallback;
    system.AudioObjectGetPropertyData(object, &address, 0, nullptr, &size, &value);
    return value;
}

AudioObjectID objectOfProcess(audio::AudioSystem& system, std::int32_t pid) {
    AudioObjectPropertyAddress address{audio::kPropTranslatePIDToProcessObject, audio::kScopeGlobal, audio::kElementMain};
    AudioObjectID object = 0;
    UInt32 size = sizeof object;
    system.AudioObjectGetPropertyData(audio::kSystemObject, &address, sizeof pid, &pid, &size, &object);
    return object;
}

// Waits (bounded) for the server's events to reach the backend.
bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 100; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

OSStatus silence(void*, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32, AudioBufferList*) {
    return 0;
}

TEST(PulseProcessObjects, PlayersOnTheDefaultSinkAndThisProcess) {
    std::string whyNot;
    testing::pulse::SoundServer* server = testing::pulse::sharedServer(ServerKind::PulseAudio, whyNot);
    if (!server) {
        if (std::getenv("CI")) FAIL() << whyNot;
        GTEST_SKIP() << whyNot;
    }
    for (const auto& [name, value] : server->clientEnv()) ::setenv(name.c_str(), value.c_str(), 1);
    server->loadModule("module-null-sink", "sink_name=played rate=48000");
    server->loadModule("module-null-sink", "sink_name=aside rate=48000");
    server->pactl({"set-default-sink", "played"});

    std::shared_ptr<audio::AudioSystem> system = openPulse();
    const auto self = static_cast<std::int32_t>(::getpid());
    const AudioObjectID selfObject = objectOfProcess(*system, self);
    ASSERT_NE(selfObject, 0u);
    EXPECT_EQ(processObjects(*system), std::vector<AudioObjectID>{selfObject});

    // Our own playback into the default sink, as the keep-alive plays.
    AudioComponentDescription description{audio::kUnitTypeOutput, audio::kUnitSubTypeHALOutput,
                                          audio::kUnitManufacturerApple, 0, 0};
    AudioUnit unit = nullptr;
    ASSERT_EQ(system->AudioComponentInstanceNew(system->AudioComponentFindNext(nullptr, &description), &unit), 0);
    AURenderCallbackStruct callback{silence, nullptr};
    ASSERT_EQ(system->AudioUnitSetProperty(unit, audio::kUnitPropSetRenderCallback, audio::kUnitScopeInput, 0,
                                           &callback, sizeof callback),
              0);
    ASSERT_EQ(system->AudioUnitInitialize(unit), 0);
    ASSERT_EQ(system->AudioOutputUnitStart(unit), 0);

    auto player = server->spawn("pacat", {"--playback", "--raw", "--device=played", "/dev/zero"});
    auto elsewhere = server->spawn("pacat", {"--playback", "--raw", "--device=aside", "/dev/zero"});
    AudioObjectID playerObject = 0;
    ASSERT_TRUE(eventually([&] {
        playerObject = objectOfProcess(*system, player->pid());
        return playerObject != 0 && processObjects(*system).size() == 2;
    })) << "the player's process object never appeared";
    EXPECT_EQ(objectOfProcess(*system, elsewhere->pid()), 0u) << "it plays into another sink";
    EXPECT_EQ(objectValue<std::int32_t>(*system, playerObject, audio::kPropProcessPID, 0), player->pid());
    EXPECT_EQ(objectValue<UInt32>(*system, playerObject, audio::kPropProcessIsRunningOutput, 9), 1u);
    EXPECT_EQ(objectValue<std::int32_t>(*system, selfObject, audio::kPropProcessPID, 0), self);
    EXPECT_EQ(objectValue<UInt32>(*system, selfObject, audio::kPropProcessIsRunningOutput, 9), 0u);

    player->sendSignal(SIGTERM);
    player->wait(10);
    EXPECT_TRUE(eventually([&] { return processObjects(*system) == std::vector<AudioObjectID>{selfObject}; }));
    EXPECT_EQ(objectOfProcess(*system, player->pid()), 0u);

    system->AudioOutputUnitStop(unit);
    system->AudioComponentInstanceDispose(unit);
    elsewhere->sendSignal(SIGTERM);
    elsewhere->wait(10);
}

}  // namespace
}  // namespace tarnwick::pulse
