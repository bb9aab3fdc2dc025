// A child that was not scheduled for a long while (stopped, here, as a
// debugger or a suspended laptop would): the server keeps what it can and
// drops the rest, and the child fills what was dropped with silence and says
// so, so that its stream stays as long as the time that passed.

#include <chrono>
#include <csignal>
#include <optional>
#include <thread>

#include "tests/pulse/server_test.h"

namespace tarnwick::testing::pulse {
namespace {

class SkippedTime : public ServerTest {};

// Frame 0's capture time from the first timeline line, in host nanoseconds.
std::optional<std::int64_t> firstFrameNanos(ChildProcess& child) {
    const std::string marker = "timeline: frame 0 captured at ";
    for (const auto& line : child.stderrLines()) {
        const auto at = line.find(marker);
        if (at != std::string::npos) return std::stoll(line.substr(at + marker.size()));
    }
    return std::nullopt;
}

std::int64_t nowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TEST_P(SkippedTime, AStoppedChildFillsWhatTheServerDroppedAndKeepsItsLength) {
    speakerAndMicrophoneWithSound();
    struct Case {
        std::string path, skippedLine;
        std::size_t channels;
    };
    const std::vector<Case> cases{{sysProgram(), "tap skipped ", 2}, {micProgram(), "input skipped ", 1}};
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (const auto& c : cases) children.push_back(program(c.path));
    for (auto& child : children) {
        ASSERT_TRUE(child->waitForStderr("timeline: frame 0 captured at", startTimeout)) << child->stderrText();
        ASSERT_TRUE(child->waitForStdout(24 + 48000, startTimeout));
    }
    for (auto& child : children) child->sendSignal(SIGSTOP);
    std::this_thread::sleep_for(std::chrono::seconds(15));  // the pause under test
    for (auto& child : children) child->sendSignal(SIGCONT);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_TRUE(children[i]->waitForStderr(cases[i].skippedLine, 20)) << children[i]->stderrText();
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].path);
        const auto first = firstFrameNanos(*children[i]);
        ASSERT_TRUE(first);
        const std::size_t frameBytes = 4 * cases[i].channels;
        const auto streamSeconds = [&] {
            return double((children[i]->stdoutBytes().size() - 24) / frameBytes) / 48000.0;
        };
        const auto passedSeconds = [&] { return double(nowNanos() - *first) / 1e9; };
        // The fill is written at once, but a slow build takes its time to
        // bring it to us: wait until the stream has caught up with the time
        // that passed, less the margin, then check it is not longer either.
        bool caughtUp = false;
        for (int wait = 0; wait < 60 && !caughtUp; ++wait) {
            const auto target = std::size_t((passedSeconds() - 0.5) * 48000) * frameBytes;
            caughtUp = children[i]->waitForStdout(24 + target, 0.5);
        }
        EXPECT_TRUE(caughtUp) << "stream " << streamSeconds() << " s for " << passedSeconds() << " s\n"
                              << children[i]->stderrText();
        EXPECT_LE(streamSeconds(), passedSeconds() + 0.5) << children[i]->stderrText();
        children[i]->closeStdin();
        EXPECT_EQ(children[i]->wait(exitTimeout), 0);
    }
}

TARNWICK_ON_EVERY_SERVER(SkippedTime);

}  // namespace
}  // namespace tarnwick::testing::pulse
