// --help and --version of both programs: answered on standard output with
// status 0, without any audio system selected.

#include <gtest/gtest.h>

#include <string>

#include "tests/support/child_process.h"

namespace tarnwick::testing {
namespace {

TEST(ProgramInfo, HelpAndVersionAnswerOnStandardOutputWithStatusZero) {
    for (const auto& [path, name] : {std::pair{micProgram(), std::string("tarnwick-miccapture")},
                                     std::pair{sysProgram(), std::string("tarnwick-syscapture")}}) {
        SCOPED_TRACE(name);
        ChildProcess help(path, {"--help"}, {{"TARNWICK_AUDIO", ""}});
        EXPECT_EQ(help.wait(), 0);
        auto text = help.stdoutBytes();
        EXPECT_EQ(std::string(text.begin(), text.end()).rfind("usage: " + name + " [", 0), 0u);
        EXPECT_EQ(help.stderrText(), "");

        ChildProcess version(path, {"--version"}, {{"TARNWICK_AUDIO", ""}});
        EXPECT_EQ(version.wait(), 0);
        text = version.stdoutBytes();
        EXPECT_EQ(std::string(text.begin(), text.end()), name + " " + TARNWICK_VERSION + "\n");
    }
}

}  // namespace
}  // namespace tarnwick::testing
