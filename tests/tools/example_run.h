#pragma once
// The example parents' tests: the children they give them (shell wrappers
// that run a capture program on a scenario of the simulated system) and a
// parent run to its end.

#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"

namespace tarnwick::testing {

// Executable, so that a parent may start it directly or through /bin/sh.
inline std::string executableScript(const std::string& text) {
    const std::string path = writeTempFile(text, ".sh");
    ::chmod(path.c_str(), 0755);
    return path;
}

// The system-audio program on `system` (over the audio system `audio`), where
// the user plugs the headset in `at` seconds into the first child's run: the
// first child sees it arrive; every later one finds it the default already.
inline std::string headsetPlugInChild(const nlohmann::json& system, double at, const std::string& audio) {
    nlohmann::json plugIn = system;
    plugIn["events"] = {{{"at", at}, {"set_default_output", "headset"}}};
    nlohmann::json settled = system;
    settled["default_output"] = "headset";
    const std::string marker = tempPath(".started");
    return executableScript("if [ -e " + marker + " ]; then scenario=" + writeTempFile(settled.dump()) +
                            "; else touch " + marker + "; scenario=" + writeTempFile(plugIn.dump()) + "; fi\n" +
                            "TARNWICK_AUDIO=" + audio + " TARNWICK_SIM_SCENARIO=$scenario exec " + sysProgram() + "\n");
}

// The microphone program on `system`, over the audio system `audio`.
inline std::string micChild(const nlohmann::json& system, const std::string& audio) {
    return executableScript("TARNWICK_AUDIO=" + audio + " TARNWICK_SIM_SCENARIO=" + writeTempFile(system.dump()) +
                            " exec " + micProgram() + "\n");
}

// An example parent started with `args` and waited for: its exit status and
// what it said on stdout.
struct ExampleRun {
    ExampleRun(const std::string& program, const std::vector<std::string>& args)
        : process(program, args), status(process.wait(120)), said(process.stdoutLines()) {}

    // How many of its stdout lines are exactly `line`.
    long has(const std::string& line) const { return std::count(said.begin(), said.end(), line); }

    ChildProcess process;
    int status;
    std::vector<std::string> said;
};

}  // namespace tarnwick::testing
