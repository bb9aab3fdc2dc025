// Tracing and fault injection over the real backend: a parent rehearses a
// failing start against a real server and gets the lines and status the
// simulated system gives for the same fault, and the trace names the calls.

#include "tests/pulse/server_test.h"
#include "tests/sys/sys_run.h"

namespace tarnwick::testing::pulse {
namespace {

class CallLayer : public ServerTest {
protected:
    std::unique_ptr<ChildProcess> withLayer(const std::string& faults, const std::string& trace) {
        auto env = server().clientEnv();
        env["TARNWICK_FAULTS"] = faults;
        env["TARNWICK_TRACE"] = trace;
        return std::make_unique<ChildProcess>(sysProgram(), std::vector<std::string>{}, env);
    }
};

TEST_P(CallLayer, InjectedDeviceStartFailureEndsTheStartAsOnTheSimulatedSystem) {
    addSink("spk", 48000);
    setDefaultSink("spk");
    const std::string trace = tempPath(".trace");
    auto capture = withLayer(writeTempFile(R"([{"call": "AudioDeviceStart", "status": 1852797029}])"), trace);
    EXPECT_EQ(capture->wait(exitTimeout), 1);
    auto lines = messages(*capture, sysPrefix);
    ASSERT_GE(lines.size(), 4u) << capture->stderrText();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
              (std::vector<std::string>{"AudioDeviceStart failed (1852797029) — retry 1/3 in 150 ms",
                                        "AudioDeviceStart failed (1852797029) — retry 2/3 in 300 ms",
                                        "AudioDeviceStart failed (1852797029) — retry 3/3 in 600 ms",
                                        "capture start failed: AudioDeviceStart failed (1852797029)"}));
    EXPECT_TRUE(capture->stdoutBytes().empty());

    // Every start reached the layer and went no further, and the trace shows
    // every object created on the server released in order.
    const auto calls = parseTrace(readLines(trace));
    std::size_t starts = 0;
    for (const TraceCall& call : calls) {
        if (call.call != "AudioDeviceStart") continue;
        ++starts;
        EXPECT_EQ(call.status, 1852797029);
        EXPECT_EQ(call.result, "fault");
        ASSERT_EQ(call.args.size(), 2u);
        EXPECT_EQ(call.args[1].rfind("proc#", 0), 0u) << call.args[1];
    }
    EXPECT_EQ(starts, 4u) << readFile(trace);
    EXPECT_FALSE(createdObjects(calls).aggregates.empty()) << readFile(trace);
    expectEverythingReleasedInOrder(calls);
}

TEST_P(CallLayer, AFaultsFileThatCannotBeUsedFailsTheStartWithOneLine) {
    const std::string unknownCall = writeTempFile(R"([{"call": "AudioDeviceStart"}, {"call": "AudioUnitStart"}])");
    const std::string notAList = writeTempFile(R"({"call": "AudioDeviceStart"})");
    const std::string missing = tempPath(".json");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {unknownCall, "injected faults: " + unknownCall + ": [1].call: unknown call \"AudioUnitStart\""},
        {notAList, "injected faults: " + notAList + ": the faults must be a JSON array, got an object"},
        {missing, "injected faults: " + missing + ": cannot read the faults file (No such file or directory)"},
    };
    for (const auto& [file, line] : cases) {
        auto capture = withLayer(file, "");
        EXPECT_EQ(capture->wait(exitTimeout), 1) << file;
        EXPECT_EQ(messages(*capture, sysPrefix), std::vector<std::string>{line});
        EXPECT_TRUE(capture->stdoutBytes().empty());
    }
}

TARNWICK_ON_EVERY_SERVER(CallLayer);

}  // namespace
}  // namespace tarnwick::testing::pulse
