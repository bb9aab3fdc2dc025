// Scenario files that cannot be used end the program with one exact line, so
// these tests pin the whole message.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "tests/sim/sim_test_support.h"
#include "tests/support/child_process.h"

namespace tarnwick::sim::testing {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCanLimitMemory = false;  // the sanitizers reserve far more address space than any limit
#else
constexpr bool kCanLimitMemory = true;
#endif

// Runs `program` as a parent would with `scenario`, its address space limited
// to 256 MB where that is possible; its exit status and stderr lines.
std::pair<int, std::vector<std::string>> runWithScenario(const std::string& program, std::vector<std::string> args,
                                                         const std::string& scenario) {
    std::vector<std::string> shellArgs{"-c", std::string(kCanLimitMemory ? "ulimit -v 262144 && " : "") + "exec \"$0\" \"$@\"",
                                       program};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    tarnwick::testing::ChildProcess child("/bin/sh", shellArgs,
                                          {{"TARNWICK_AUDIO", "sim"}, {"TARNWICK_SIM_SCENARIO", scenario}});
    int status = child.wait(120);
    EXPECT_TRUE(child.stdoutBytes().empty());
    return {status, child.stderrLines()};
}

std::string withDevice(const std::string& deviceBody, const std::string& rest = "") {
    return R"({"devices": [{"uid": "mic", "input_channels": 1)" + deviceBody + "}]" + rest + "}";
}

TEST(ScenarioErrors, JsonSyntaxErrorsNameLineAndColumn) {
    EXPECT_EQ(scenarioError("{\n  \"devices\": [\n    {\"uid\": \"a\",}\n  ]\n}", "mics.json"),
              "simulated audio: mics.json: JSON syntax error at line 3, column 17: syntax error while parsing object "
              "key - unexpected '}'; expected string literal");
    EXPECT_EQ(scenarioError("{\"devices\": [}", "a.json"),
              "simulated audio: a.json: JSON syntax error at line 1, column 14: syntax error while parsing value - "
              "unexpected '}'; expected '[', '{', or a literal");
    // A raw line break inside a string is reported where it sits, on its own line.
    EXPECT_EQ(scenarioError("{\"devices\": [{\"uid\": \"a\nb\"}]}", "b.json"),
              "simulated audio: b.json: JSON syntax error at line 1, column 24: syntax error while parsing value - "
              "invalid string: control character U+000A (LF) must be escaped to \\u000A or \\n; last read: "
              "'\"a<U+000A>'");
}

TEST(ScenarioErrors, UnknownKeysAreNamedWhereverTheySit) {
    EXPECT_EQ(scenarioError(R"({"devices": [], "default_inptu": null})"),
              "simulated audio: test.json: unknown top-level key \"default_inptu\"");
    EXPECT_EQ(scenarioError(withDevice(R"(, "sample_rat": 44100)")),
              "simulated audio: test.json: devices[0]: unknown key \"sample_rat\"");
    EXPECT_EQ(scenarioError(withDevice(R"(, "unit": {"silent_start": 1})")),
              "simulated audio: test.json: devices[0].unit: unknown key \"silent_start\"");
    EXPECT_EQ(scenarioError(withDevice(R"(, "unit": {"input_format": {"rate": 1}})")),
              "simulated audio: test.json: devices[0].unit.input_format: unknown key \"rate\"");
    EXPECT_EQ(scenarioError(withDevice(R"(, "signal": {"kind": "counter", "amplitude": 1})")),
              "simulated audio: test.json: devices[0].signal: unknown key \"amplitude\"");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "tap": {"format": {"interleaved": true}})")),
              "simulated audio: test.json: tap.format: unknown key \"interleaved\"");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "tap": {"outputs": 1})")),
              "simulated audio: test.json: tap: unknown key \"outputs\"");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "faults": [{"call": "AudioDeviceStart", "time": 1}])")),
              "simulated audio: test.json: faults[0]: unknown key \"time\"");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "events": [{"at": 1, "stall": {"device": "mic", "secs": 1}}])")),
              "simulated audio: test.json: events[0].stall: unknown key \"secs\"");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "events": [{"at": 1, "unplug": "mic"}])")),
              "simulated audio: test.json: events[0]: unknown key \"unplug\"");
}

TEST(ScenarioErrors, WrongTypesAndRanges) {
    EXPECT_EQ(scenarioError(withDevice(R"(, "sample_rate": "fast")")),
              "simulated audio: test.json: devices[0].sample_rate: expected a number from 0 to 1000000, got the "
              "string \"fast\"");
    EXPECT_EQ(scenarioError(R"({"devices": [{"uid": "mic", "input_channels": "two"}]})"),
              "simulated audio: test.json: devices[0].input_channels: expected an integer from 0 to 64 or an array of "
              "them, got the string \"two\"");
    EXPECT_EQ(scenarioError(R"({"devices": [{"uid": "mic", "input_channels": [1, -2]}]})"),
              "simulated audio: test.json: devices[0].input_channels[1]: -2 is out of range (expected an integer "
              "from 0 to 64)");
    EXPECT_EQ(scenarioError(withDevice(R"(, "buffer_frames": 1.5)")),
              "simulated audio: test.json: devices[0].buffer_frames: expected an integer from 0 to 65536, got 1.5");
    EXPECT_EQ(scenarioError(withDevice(R"(, "id": 1)")),
              "simulated audio: test.json: devices[0].id: 1 is out of range (expected an integer from 2 to 4294967295)");
    EXPECT_EQ(scenarioError(withDevice(R"(, "unit": {"silent_starts": "sometimes"})")),
              "simulated audio: test.json: devices[0].unit.silent_starts: expected an integer ≥ 0 or \"always\", got "
              "the string \"sometimes\"");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "tap": {"output_list": 1})")),
              "simulated audio: test.json: tap.output_list: expected true or false, got 1");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "faults": [{"call": "AudioDeviceStart", "status": 4294967295}])")),
              "simulated audio: test.json: faults[0].status: 4294967295 is out of range (expected an integer from "
              "-2147483648 to 2147483647)");
    EXPECT_EQ(scenarioError(R"({"devices": {}})"),
              "simulated audio: test.json: devices: expected an array, got an object");
    EXPECT_EQ(scenarioError(R"([1, 2])"),
              "simulated audio: test.json: the scenario must be a JSON object, got an array");
    EXPECT_EQ(scenarioError(R"({})"), "simulated audio: test.json: missing required top-level key \"devices\"");
    EXPECT_EQ(scenarioError(R"({"devices": [{"name": "x"}]})"),
              "simulated audio: test.json: devices[0]: missing required key \"uid\"");
    EXPECT_EQ(scenarioError(withDevice(R"(, "signal": {"kind": "square"})")),
              "simulated audio: test.json: devices[0].signal.kind: unknown signal kind \"square\" (expected sine, "
              "silence, noise or counter)");
}

TEST(ScenarioErrors, DuplicatesAreRefused) {
    EXPECT_EQ(scenarioError(R"({"devices": [{"uid": "a"}, {"uid": "b"}, {"uid": "a"}]})"),
              "simulated audio: test.json: devices[2].uid: duplicate UID \"a\" (also used by devices[0])");
    EXPECT_EQ(scenarioError(R"({"devices": [{"uid": "a", "id": 101}, {"uid": "b"}]})"),
              "simulated audio: test.json: devices[1].id: duplicate id 101 (also used by devices[0])");
    // Devices whose UID cannot be read never collide.
    EXPECT_EQ(scenarioError(R"({"devices": [{"uid": null}, {"uid": null}]})"), "");
    // A key given twice in one object would otherwise silently lose one value.
    EXPECT_EQ(scenarioError(R"({"devices": [{"uid": "a", "sample_rate": 1, "sample_rate": 2}]})"),
              "simulated audio: test.json: devices[0]: duplicate key \"sample_rate\"");
}

TEST(ScenarioErrors, NamesOfMissingDevices) {
    EXPECT_EQ(scenarioError(withDevice("", R"(, "default_input": "usb")")),
              "simulated audio: test.json: default_input: no device with UID \"usb\"");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "default_output": 3)")),
              "simulated audio: test.json: default_output: expected a UID string or null, got 3");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "events": [{"at": 0.5, "set_default_output": "spk"}])")),
              "simulated audio: test.json: events[0].set_default_output: no device with UID \"spk\"");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "events": [{"at": 0, "render_error": {"device": "MIC", "status": 1}}])")),
              "simulated audio: test.json: events[0].render_error.device: no device with UID \"MIC\"");
}

TEST(ScenarioErrors, FaultsAndEventsMustSayWhatTheyDo) {
    EXPECT_EQ(scenarioError(withDevice("", R"(, "faults": [{"call": "AudioUnitStart"}])")),
              "simulated audio: test.json: faults[0].call: unknown call \"AudioUnitStart\"");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "faults": [{"call": "AudioDeviceStart", "property": "nsrt"}])")),
              "simulated audio: test.json: faults[0].property: AudioDeviceStart has no property to filter on");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "faults": [{"call": "AudioOutputUnitStart", "scope": "input"}])")),
              "simulated audio: test.json: faults[0].scope: AudioOutputUnitStart has no scope to filter on");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "faults": [{"call": "AudioObjectGetPropertyData", "property": "rate"}])")),
              "");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "faults": [{"call": "AudioObjectGetPropertyData", "property": "nsrt!"}])")),
              "simulated audio: test.json: faults[0].property: expected an integer or a four-character code, got the "
              "string \"nsrt!\"");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "faults": [{"call": "AudioUnitGetProperty", "scope": "both"}])")),
              "simulated audio: test.json: faults[0].scope: unknown scope \"both\" (expected global, input or output)");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "events": [{"at": 1}])")),
              "simulated audio: test.json: events[0]: no action (expected one of set_default_input, "
              "set_default_output, set_sample_rate, stall, render_error, set_process, set_signal)");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "events": [{"at": 1, "set_default_input": null, "set_default_output": null}])")),
              "simulated audio: test.json: events[0]: more than one action (set_default_input and set_default_output)");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "events": [{"stall": {"device": "mic", "seconds": 1}}])")),
              "simulated audio: test.json: events[0]: missing required key \"at\"");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "events": [{"at": 1, "set_sample_rate": {"device": "mic"}}])")),
              "simulated audio: test.json: events[0].set_sample_rate: missing required key \"rate\"");
}

TEST(ScenarioErrors, NumbersNulBytesAndPacesTheIoCannotKeep) {
    EXPECT_EQ(scenarioError("{\"devices\": [\n  {\"uid\": \"a\", \"sample_rate\": -1e999}]}"),
              "simulated audio: test.json: JSON number out of range at line 2, column 31: -1e999 is too large to "
              "represent");
    // The parser would stop at a NUL and never see what follows it.
    EXPECT_EQ(scenarioError(std::string("{\"devices\": []}\0{\"garbage\"", 26)),
              "simulated audio: test.json: JSON syntax error at line 1, column 16: unexpected NUL byte");
    EXPECT_EQ(scenarioError(std::string("{\"devices\":\n\0[]}", 16)),
              "simulated audio: test.json: JSON syntax error at line 2, column 1: unexpected NUL byte");
    EXPECT_EQ(scenarioError(withDevice(R"(, "sample_rate": 1e-300)")),
              "simulated audio: test.json: devices[0].sample_rate: 1e-300 is out of range (expected 0 or a number "
              "from 1 to 1000000)");
    EXPECT_EQ(scenarioError(withDevice("", R"(, "events": [{"at": 1, "set_sample_rate": {"device": "mic", "rate": 0.5}}])")),
              "simulated audio: test.json: events[0].set_sample_rate.rate: 0.5 is out of range (expected 0 or a number "
              "from 1 to 1000000)");
    EXPECT_EQ(scenarioError(withDevice(R"(, "sample_rate": 1000000, "buffer_frames": 1)")),
              "simulated audio: test.json: devices[0]: 1 frame per IO cycle at 1000000 Hz make cycles of 1.0 µs; the "
              "simulated IO runs cycles of 20 µs or longer");
    EXPECT_EQ(scenarioError(withDevice(R"(, "buffer_frames": 8)",
                                       R"(, "events": [{"at": 1, "set_sample_rate": {"device": "mic", "rate": 800000}}])")),
              "simulated audio: test.json: events[0].set_sample_rate.rate: 8 frames per IO cycle at 800000 Hz make "
              "cycles of 10.0 µs; the simulated IO runs cycles of 20 µs or longer");
    EXPECT_EQ(scenarioError(withDevice(R"(, "sample_rate": 192000)", R"(, "tap": {"aggregate_buffer_frames": 2})")),
              "simulated audio: test.json: tap.aggregate_buffer_frames: 2 frames per IO cycle at 192000 Hz make cycles "
              "of 10.4 µs; the simulated IO runs cycles of 20 µs or longer");
    // Rates of 0 and buffers of 0 fall back to 48000 Hz and 512 frames.
    EXPECT_EQ(scenarioError(withDevice(R"(, "sample_rate": 0, "buffer_frames": 0)")), "");
}

TEST(ScenarioErrors, DeepAndHugeFilesEndInOneLineAndStatus1) {
    using tarnwick::testing::micProgram;
    using tarnwick::testing::sysProgram;
    // Memory used to grow with the square of the depth: gigabytes here.
    const std::size_t depth = 200000;
    std::string deep = tarnwick::testing::writeTempFile("{\"devices\": " + std::string(depth, '[') +
                                                        std::string(depth, ']') + "}");
    const std::string deepProblem = "simulated audio: " + deep + ": devices[0]: expected an object, got an array";
    EXPECT_EQ(runWithScenario(micProgram(), {"--list"}, deep),
              std::make_pair(1, std::vector<std::string>{"[tarnwick-miccapture] " + deepProblem}));
    EXPECT_EQ(runWithScenario(sysProgram(), {}, deep),
              std::make_pair(1, std::vector<std::string>{"[tarnwick-syscapture] " + deepProblem}));
    if (!kCanLimitMemory) return;

    std::string huge = "{\"devices\": [{}";
    for (int i = 0; i < 5'000'000; ++i) huge += ",{}";
    huge = tarnwick::testing::writeTempFile(huge + "]}");
    const std::string hugeProblem = "simulated audio: " + huge + ": not enough memory to load the scenario";
    EXPECT_EQ(runWithScenario(micProgram(), {"--list"}, huge),
              std::make_pair(1, std::vector<std::string>{"[tarnwick-miccapture] " + hugeProblem}));
    EXPECT_EQ(runWithScenario(micProgram(), {}, huge),
              std::make_pair(1, std::vector<std::string>{"[tarnwick-miccapture] " + hugeProblem}));
    std::remove(huge.c_str());
}

TEST(ScenarioErrors, MessagesStayOnOneLine) {
    std::string message = scenarioError(R"({"devices": [{"uid": "a", "x\ny": 1}]})");
    EXPECT_EQ(message, "simulated audio: test.json: devices[0]: unknown key \"x\\ny\"");
    message = scenarioError(R"({"devices": [{"uid": "a"}], "default_input": "new\nline"})");
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
}

TEST(ScenarioErrors, FilesAndTracesThatCannotBeOpened) {
    std::string missing = tarnwick::testing::tempPath(".json");
    setenv("TARNWICK_SIM_SCENARIO", missing.c_str(), 1);
    unsetenv("TARNWICK_SIM_TRACE");
    try {
        openFromEnvironment();
        ADD_FAILURE() << "opened a scenario that does not exist";
    } catch (const ScenarioError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "simulated audio: " + missing + ": cannot read the scenario file (No such file or directory)");
    }

    setenv("TARNWICK_SIM_SCENARIO", "/tmp", 1);
    try {
        openFromEnvironment();
        ADD_FAILURE() << "opened a directory as a scenario";
    } catch (const ScenarioError& error) {
        EXPECT_EQ(std::string(error.what()), "simulated audio: /tmp: cannot read the scenario file (Is a directory)");
    }

    std::string file = tarnwick::testing::writeTempFile(R"({"devices": [{"uid": "x", "bogus": 1}]})");
    setenv("TARNWICK_SIM_SCENARIO", file.c_str(), 1);
    try {
        openFromEnvironment();
        ADD_FAILURE() << "opened a scenario with an unknown key";
    } catch (const ScenarioError& error) {
        EXPECT_EQ(std::string(error.what()), "simulated audio: " + file + ": devices[0]: unknown key \"bogus\"");
    }

    unsetenv("TARNWICK_SIM_SCENARIO");
    setenv("TARNWICK_SIM_TRACE", "/nonexistent-dir/trace.txt", 1);
    try {
        openFromEnvironment();
        ADD_FAILURE() << "opened a trace in a missing directory";
    } catch (const ScenarioError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "simulated audio: /nonexistent-dir/trace.txt: cannot open the trace file (No such file or directory)");
    }
    unsetenv("TARNWICK_SIM_TRACE");
}

}  // namespace
}  // namespace tarnwick::sim::testing
