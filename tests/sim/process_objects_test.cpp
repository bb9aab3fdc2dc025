// Process objects: the scenario's other programs and the running program's
// own, found through the process list and PID translation, with activity
// that events (or the program's own IO) change.

#include <gtest/gtest.h>

#include <unistd.h>

#include "tests/sim/sim_test_support.h"

namespace tarnwick::sim::testing {
namespace {

using namespace tarnwick::audio;

OSStatus translate(AudioSystem& system, std::int32_t pid, AudioObjectID* id, UInt32 qualifierSize = 4) {
    auto a = address(kPropTranslatePIDToProcessObject);
    UInt32 size = sizeof *id;
    return system.AudioObjectGetPropertyData(kSystemObject, &a, qualifierSize, &pid, &size, id);
}

// 'pir?', 'piri', 'piro'
std::vector<UInt32> activity(AudioSystem& system, AudioObjectID process) {
    std::vector<UInt32> values;
    for (UInt32 selector : {kPropProcessIsRunning, kPropProcessIsRunningInput, kPropProcessIsRunningOutput}) {
        UInt32 value = 99;
        EXPECT_EQ(readU32(system, process, selector, &value), 0);
        values.push_back(value);
    }
    return values;
}

TEST(ProcessObjects, ListTranslationAndPropertiesFollowEventsAndOwnIO) {
    auto system = open(R"({"devices": [{"uid": "mic", "input_channels": 1}],
        "processes": [{"pid": 4242, "running_output": true, "bundle_id": "com.example.player"},
                      {"pid": 4243, "id": 3000, "running_input": true}],
        "events": [{"at": 0.3, "set_process": {"pid": 4242, "running_output": false, "running_input": true}}]})");
    auto list = address(kPropProcessObjectList);
    std::vector<AudioObjectID> ids(4, 0);
    UInt32 size = sizeof(AudioObjectID) * 4;
    ASSERT_EQ(system->AudioObjectGetPropertyData(kSystemObject, &list, 0, nullptr, &size, ids.data()), 0);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(ids, (std::vector<AudioObjectID>{1999, 2000, 3000, 0}));

    AudioObjectID own = 0, other = 0, none = 5;
    EXPECT_EQ(translate(*system, static_cast<std::int32_t>(getpid()), &own), 0);
    EXPECT_EQ(translate(*system, 4243, &other), 0);
    EXPECT_EQ(translate(*system, 7, &none), 0);
    EXPECT_EQ(std::vector<AudioObjectID>({own, other, none}), (std::vector<AudioObjectID>{1999, 3000, 0}));
    EXPECT_EQ(translate(*system, 4243, &other, 0), kBadPropertySizeError);

    UInt32 pid = 0;
    EXPECT_EQ(readU32(*system, 1999, kPropProcessPID, &pid), 0);
    EXPECT_EQ(pid, static_cast<UInt32>(getpid()));
    EXPECT_EQ(readString(*system, 2000, kPropProcessBundleID), "com.example.player");
    EXPECT_EQ(readString(*system, 3000, kPropProcessBundleID), "");
    EXPECT_EQ(readU32(*system, 2001, kPropProcessPID, &pid), kBadObjectError);

    EXPECT_EQ(activity(*system, 2000), (std::vector<UInt32>{1, 0, 1}));
    EXPECT_EQ(activity(*system, 3000), (std::vector<UInt32>{1, 1, 0}));
    EXPECT_TRUE(eventually([&] { return activity(*system, 2000) == std::vector<UInt32>{1, 1, 0}; }));

    EXPECT_EQ(activity(*system, 1999), (std::vector<UInt32>{0, 0, 0}));
    InputRecorder recorder(*system, false);
    ASSERT_EQ(recorder.start(), 0);
    EXPECT_EQ(activity(*system, 1999), (std::vector<UInt32>{1, 1, 0}));
    ASSERT_EQ(recorder.stop(), 0);
    EXPECT_EQ(activity(*system, 1999), (std::vector<UInt32>{0, 0, 0}));
}

TEST(ProcessObjects, ScenarioMistakesAreNamed) {
    const std::string devices = R"({"devices": [{"uid": "mic", "input_channels": 1}], )";
    EXPECT_EQ(scenarioError(devices + R"("processes": [{"pid": 5}, {"pid": 5}]})"),
              "simulated audio: test.json: processes[1].pid: duplicate pid 5 (also used by processes[0])");
    EXPECT_EQ(scenarioError(devices + R"("processes": [{"pid": 5, "id": 100}]})"),
              "simulated audio: test.json: processes[0].id: duplicate id 100 (also used by devices[0])");
    EXPECT_EQ(scenarioError(devices + R"("events": [{"at": 1, "set_process": {"pid": 5}}]})"),
              "simulated audio: test.json: events[0].set_process.pid: no process with pid 5");
}

}  // namespace
}  // namespace tarnwick::sim::testing
