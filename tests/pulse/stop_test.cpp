// Stops on a real server while the parent does not read: the child is then
// blocked writing its PCM, and still ends in order, by stdin EOF and by
// SIGTERM alike, without anyone reading what it wrote.

#include <csignal>

#include "tests/pulse/server_test.h"

namespace tarnwick::testing::pulse {
namespace {

class StopWithoutReader : public ServerTest {};

TEST_P(StopWithoutReader, EveryStopEndsBothProgramsInOrder) {
    // A player keeps the system-audio stream carrying sound, not only silence.
    speakerAndMicrophoneWithSound();

    struct Case {
        std::string path, prefix, reason;
        int signal;
    };
    const std::vector<Case> cases{
        {sysProgram(), "[tarnwick-syscapture] ", "SIGTERM", SIGTERM},
        {sysProgram(), "[tarnwick-syscapture] ", "stdin EOF (parent stopped us)", 0},
        {micProgram(), "[tarnwick-miccapture] ", "SIGTERM", SIGTERM},
        {micProgram(), "[tarnwick-miccapture] ", "stdin EOF (parent stopped us)", 0},
    };
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (const auto& c : cases) children.push_back(program(c.path));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        ASSERT_TRUE(children[i]->waitForStdout(24 + 4096, startTimeout)) << children[i]->stderrText();
        children[i]->pauseStdout(true);
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        ASSERT_TRUE(children[i]->waitUntilBlockedWriting(30)) << "the child stopped writing: " << cases[i].path << "\n" << children[i]->stderrText();
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].signal) {
            children[i]->sendSignal(cases[i].signal);
        } else {
            children[i]->closeStdin();
        }
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].path + " stopped by " + cases[i].reason);
        ASSERT_EQ(children[i]->wait(exitTimeout), 0) << children[i]->stderrText();
        auto said = messages(*children[i], cases[i].prefix);
        ASSERT_GE(said.size(), 2u) << children[i]->stderrText();
        said.erase(said.begin(), said.end() - 2);
        EXPECT_EQ(said, (std::vector<std::string>{"shutting down (" + cases[i].reason + ") — stopping capture",
                                                   "capture stopped cleanly"}));
    }
}

TARNWICK_ON_EVERY_SERVER(StopWithoutReader);

}  // namespace
}  // namespace tarnwick::testing::pulse
