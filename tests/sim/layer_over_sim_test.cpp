// The call layer over another system (here the simulated one, untraced and
// without faults of its own): faults filter on the call's property and scope
// as they do inside the simulator, a null result leaves no object, a caught
// call never reaches the system below, and the trace has the simulator's form.

#include <gtest/gtest.h>

#include "backends/call_layer/call_layer.h"
#include "backends/sim/fault_parser.h"
#include "tests/sim/sim_test_support.h"

namespace tarnwick::sim::testing {
namespace {

using namespace tarnwick::audio;

struct Layered {
    std::shared_ptr<AudioSystem> layer;
    std::string tracePath;
};

Layered layered(const std::string& faults) {
    Layered l;
    auto below = open(R"({"devices": [{"uid": "mic", "input_channels": 2, "sample_rate": 44100},
                                   {"uid": "spk", "output_channels": 2}]})");
    l.tracePath = tempTracePath();
    l.layer = call_layer::wrap(below, call_layer::Trace::openFile(l.tracePath),
                               std::make_shared<call_layer::FaultTable>(parseFaultList(faults, "faults.json")));
    return l;
}

TEST(LayerOverSim, FaultsFilterByPropertyAndScopeAndNullResultsLeaveNoObject) {
    auto l = layered(R"([{"call": "AudioObjectGetPropertyData", "property": "dOut", "null_result": true, "times": 1},
                         {"call": "AudioObjectGetPropertyData", "property": "fsiz", "scope": "input", "status": -50},
                         {"call": "AudioHardwareCreateProcessTap", "status": 7, "null_result": true}])");
    EXPECT_EQ(defaultDevice(*l.layer, kPropDefaultOutputDevice), 0u);
    EXPECT_EQ(defaultDevice(*l.layer, kPropDefaultOutputDevice), 101u);
    UInt32 frames = 0;
    EXPECT_EQ(readU32(*l.layer, 100, kPropBufferFrameSize, &frames, kScopeInput), -50);
    EXPECT_EQ(readU32(*l.layer, 100, kPropBufferFrameSize, &frames, kScopeOutput), 0);
    EXPECT_EQ(frames, 512u);
    AudioObjectID tap = 55;
    TapDescription description;
    description.name = "t";
    description.uuid = "00000000-0000-0000-0000-000000000001";
    EXPECT_EQ(l.layer->AudioHardwareCreateProcessTap(description, &tap), 7);
    EXPECT_EQ(tap, 0u);

    EXPECT_EQ(readLines(l.tracePath),
              (std::vector<std::string>{
                  "AudioObjectGetPropertyData 1 'dOut' 'glob' 0 size=4 -> 0 0 fault",
                  "AudioObjectGetPropertyData 1 'dOut' 'glob' 0 size=4 -> 0 101",
                  "AudioObjectGetPropertyData 100 'fsiz' 'inpt' 0 size=4 -> -50 fault",
                  "AudioObjectGetPropertyData 100 'fsiz' 'outp' 0 size=4 -> 0 512",
                  "AudioHardwareCreateProcessTap " + jsonLine(description.toJson()) + " -> 7 fault",
              }));
}

TEST(LayerOverSim, StringsAndUnitsAreNamedByTheLayer) {
    auto l = layered("[]");
    EXPECT_EQ(readString(*l.layer, 100, kPropName), "mic");
    AudioComponentDescription description{kUnitTypeOutput, kUnitSubTypeHALOutput, kUnitManufacturerApple, 0, 0};
    AudioUnit unit = nullptr;
    ASSERT_EQ(l.layer->AudioComponentInstanceNew(l.layer->AudioComponentFindNext(nullptr, &description), &unit), 0);
    ASSERT_EQ(l.layer->AudioComponentInstanceDispose(unit), 0);
    EXPECT_EQ(readLines(l.tracePath), (std::vector<std::string>{
                                          "AudioObjectGetPropertyData 100 'lnam' 'glob' 0 size=8 -> 0 str#1 \"mic\"",
                                          "CFStringGetCString str#1 -> 0 \"mic\"",
                                          "CFRelease str#1 -> 0",
                                          "AudioComponentFindNext none 'auou' 'ahal' 'appl' -> 0 component#1",
                                          "AudioComponentInstanceNew component#1 -> 0 unit#1",
                                          "AudioComponentInstanceDispose unit#1 -> 0",
                                      }));
}

}  // namespace
}  // namespace tarnwick::sim::testing
