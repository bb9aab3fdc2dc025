// How both programs end when the parent stops them at awkward moments: while
// it does not read their output, before they could handle a signal, while
// the audio system is still being chosen, with standard input closed at launch.

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/sim_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/stop_lines.h"

namespace tarnwick::sim::testing {
namespace {

using tarnwick::testing::ChildProcess;
using tarnwick::testing::endLines;
using tarnwick::testing::lastTwo;

struct Program {
    std::string path, name;
    // The line after "shutting down" when no engine was registered yet.
    std::string nothingToStop;
};

std::vector<Program> programs() {
    return {{tarnwick::testing::micProgram(), "tarnwick-miccapture", "capture stopped cleanly"},
            {tarnwick::testing::sysProgram(), "tarnwick-syscapture", "no active capture to stop"}};
}

std::vector<std::string> messages(ChildProcess& child, const Program& program) {
    std::vector<std::string> out;
    const std::string prefix = "[" + program.name + "] ";
    for (const auto& line : child.stderrLines()) {
        out.push_back(line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line);
    }
    return out;
}


// A stop that wins while the start is still under way: its line comes first
// (the start may still log a step before it gives way), exactly once, and
// the stop ends the log.
void expectStopDuringStart(const std::vector<std::string>& said, const std::string& reason, const Program& program) {
    ASSERT_GE(said.size(), 2u);
    EXPECT_EQ(said.front(), "shutting down (" + reason + ") — stopping capture");
    EXPECT_TRUE(said.back() == "capture stopped cleanly" || said.back() == program.nothingToStop) << said.back();
    EXPECT_EQ(std::count_if(said.begin(), said.end(), [](const std::string& line) {
                  return line.rfind("shutting down", 0) == 0 || line.rfind("capture start failed", 0) == 0;
              }),
              1)
        << ::testing::PrintToString(said);
}

// A parent that stops reading (busy, or waiting for its child to exit before
// it reads) neither makes the microphone report a stalled device nor keeps a
// stop from ending the child, which then releases everything it built.
TEST(ProgramStops, ParentThatStopsReadingCannotHoldAStop) {
    std::vector<std::unique_ptr<ChildProcess>> children;
    std::vector<std::string> traces;
    for (const auto& program : programs()) {
        traces.push_back(tempTracePath());
        children.push_back(std::make_unique<ChildProcess>(
            program.path, std::vector<std::string>{},
            std::map<std::string, std::string>{{"TARNWICK_AUDIO", "sim"}, {"TARNWICK_SIM_TRACE", traces.back()}}));
    }
    for (auto& child : children) {
        ASSERT_TRUE(child->waitForStderr("capture started", 30));
        child->pauseStdout(true);
    }
    sleepSeconds(3.5);  // more than the microphone's 1.5 s stall threshold, pipes long full
    for (auto& child : children) child->closeStdin();
    for (std::size_t i = 0; i < children.size(); ++i) {
        const Program program = programs()[i];
        SCOPED_TRACE(program.name);
        ASSERT_EQ(children[i]->wait(30), 0) << "a stop must not wait for the parent to read";
        auto said = messages(*children[i], program);
        EXPECT_EQ(lastTwo(said), endLines("stdin EOF (parent stopped us)"));
        for (const auto& line : said) EXPECT_EQ(line.find("no render callback"), std::string::npos) << line;
        std::size_t made = 0, released = 0;
        for (const auto& line : readLines(traces[i])) {
            if (line.rfind("AudioComponentInstanceNew", 0) == 0 || line.rfind("AudioDeviceCreateIOProcID", 0) == 0) ++made;
            if (line.rfind("AudioComponentInstanceDispose", 0) == 0 || line.rfind("AudioDeviceDestroyIOProcID", 0) == 0)
                ++released;
        }
        EXPECT_GT(made, 0u);
        EXPECT_EQ(released, made);
    }
}

// A SIGTERM that is already pending when the program starts (sent before it
// could handle one, and held by the mask it inherited) stops it in order.
TEST(ProgramStops, StopPendingAtLaunchIsServedInOrder) {
    for (const auto& program : programs()) {
        SCOPED_TRACE(program.name);
        ChildProcess child(program.path, {}, {{"TARNWICK_AUDIO", "sim"}}, SIGTERM);
        ASSERT_EQ(child.wait(30), 0);
        expectStopDuringStart(messages(child, program), "SIGTERM", program);
    }
}

bool hasOpen(pid_t pid, const std::filesystem::path& path) {
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error)) {
        if (std::filesystem::read_symlink(it->path(), error) == path) return true;
    }
    return false;
}

// A stop that arrives while a bad scenario is being read ends the child as an
// orderly stop alone, never with the scenario's error after the stop's line.
TEST(ProgramStops, StopWhileTheAudioSystemIsChosenIsAnOrderlyStop) {
    // Large enough that reading it takes a while; bad only at its very end.
    const std::string scenario = tempTracePath() + ".json";
    {
        std::ofstream out(scenario);
        out << R"({"devices": [], "padding": ")" << std::string(24 << 20, 'x') << R"("})";
    }
    const auto scenarioFile = std::filesystem::canonical(scenario);
    for (const auto& program : programs()) {
        SCOPED_TRACE(program.name);
        ChildProcess child(program.path, {}, {{"TARNWICK_AUDIO", "sim"}, {"TARNWICK_SIM_SCENARIO", scenario}});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        bool reading = false;
        while (!(reading = hasOpen(child.pid(), scenarioFile)) &&
               std::chrono::steady_clock::now() < deadline) {
        }
        ASSERT_TRUE(reading) << "never saw the scenario being read";
        child.sendSignal(SIGTERM);
        ASSERT_EQ(child.wait(60), 0);
        EXPECT_EQ(messages(child, program), endLines("SIGTERM"));
        EXPECT_TRUE(child.stdoutBytes().empty());
    }
    std::filesystem::remove(scenario);
}

// Reading a standard input that the parent closed before the start fails,
// and is reported as such.
TEST(ProgramStops, StandardInputClosedAtLaunchIsAReadError) {
    for (const auto& program : programs()) {
        SCOPED_TRACE(program.name);
        ChildProcess child("/bin/sh", {"-c", "exec \"$0\" <&-", program.path}, {{"TARNWICK_AUDIO", "sim"}});
        ASSERT_EQ(child.wait(30), 0);
        expectStopDuringStart(messages(child, program), "stdin read error", program);
    }
}

}  // namespace
}  // namespace tarnwick::sim::testing
