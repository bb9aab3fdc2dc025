// Without a server, and with a server that dies under a running capture: a
// clear one-line error and the status of a failed start, or an orderly stop
// in bounded time; never a hang or a silent stream.

#include <sys/stat.h>


#include "tests/pulse/server_test.h"

namespace tarnwick::testing::pulse {
namespace {

struct Program {
    std::string path, prefix;
};
const std::vector<Program> programs = {{micProgram(), "[tarnwick-miccapture] "},
                                       {sysProgram(), "[tarnwick-syscapture] "}};

// No server anywhere: an empty runtime directory and a socket path that does
// not exist, the way a desktop session without a sound server looks.
TEST(NoSoundServer, BothProgramsFailWithTheServerError) {
    const std::string dir = tempPath("-empty");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::map<std::string, std::string> env{
        {"TARNWICK_AUDIO", "pulse"}, {"XDG_RUNTIME_DIR", dir}, {"HOME", dir}, {"PULSE_SERVER", ""}};
    for (const auto& p : programs) {
        SCOPED_TRACE(p.path);
        ChildProcess child(p.path, {}, env);
        EXPECT_EQ(child.wait(exitTimeout), 1);
        EXPECT_EQ(messages(child, p.prefix),
                  std::vector<std::string>{"cannot connect to the sound server: Connection refused"});
        EXPECT_TRUE(child.stdoutBytes().empty()) << "no header without a capture";
    }
}

class ServerLoss : public ServerTest {};

TEST_P(ServerLoss, KilledServerStopsBothCapturesInOrder) {
    addSink("spk", 48000);
    addSource("mic");
    setDefaultSink("spk");
    setDefaultSource("mic");
    std::vector<std::unique_ptr<ChildProcess>> captures;
    for (const auto& p : programs) {
        captures.push_back(program(p.path));
        ASSERT_TRUE(captures.back()->waitForStderr("capture started", startTimeout)) << captures.back()->stderrText();
    }
    server().kill();
    for (std::size_t i = 0; i < programs.size(); ++i) {
        SCOPED_TRACE(programs[i].path);
        EXPECT_EQ(captures[i]->wait(exitTimeout), 0) << captures[i]->stderrText();
        auto lines = messages(*captures[i], programs[i].prefix);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2],
                  "shutting down (sound server connection lost: Connection terminated — parent will restart capture) "
                  "— stopping capture");
        EXPECT_EQ(lines.back(), "capture stopped cleanly");
    }
}

TARNWICK_ON_EVERY_SERVER(ServerLoss);

}  // namespace
}  // namespace tarnwick::testing::pulse
