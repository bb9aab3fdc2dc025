#include "tests/mic/mic_run.h"

#include <algorithm>
#include <map>

namespace tarnwick::testing::mic {

namespace {

std::map<std::string, std::string> environmentFor(const nlohmann::json& scenario, const std::string& trace) {
    return {{"TARNWICK_AUDIO", audioSystemName()},
            {"TARNWICK_SIM_SCENARIO", writeTempFile(scenario.dump())},
            {"TARNWICK_SIM_TRACE", trace}};
}

}  // namespace

std::vector<std::string> MicRun::messages() {
    std::vector<std::string> out;
    for (const std::string& line : child->stderrLines()) {
        std::string message = line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line;
        if (!message.starts_with("timeline: ")) out.push_back(std::move(message));
    }
    return out;
}

std::vector<std::string> MicRun::traceLines() { return readLines(tracePath); }

std::vector<std::string> MicRun::traceCalls() {
    std::vector<std::string> calls;
    for (const std::string& line : traceLines()) {
        if (line.rfind("EVENT", 0) == 0) continue;
        std::size_t end = line.find_first_of(" ");
        calls.push_back(line.substr(0, end));
    }
    return calls;
}

MicRun runMic(const nlohmann::json& scenario, const std::vector<std::string>& args) {
    MicRun run;
    run.tracePath = tempPath(".trace");
    run.child = std::make_unique<ChildProcess>(micProgram(), args, environmentFor(scenario, run.tracePath));
    return run;
}

MicRun runMicWithoutStdout(const nlohmann::json& scenario, const std::vector<std::string>& args) {
    MicRun run;
    run.tracePath = tempPath(".trace");
    std::vector<std::string> shellArgs{"-c", "exec \"$0\" \"$@\" >&-", micProgram()};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    run.child = std::make_unique<ChildProcess>("/bin/sh", shellArgs, environmentFor(scenario, run.tracePath));
    return run;
}

nlohmann::json device(const std::string& uid, nlohmann::json fields) {
    nlohmann::json d{{"uid", uid}, {"name", uid}, {"input_channels", 2}, {"sample_rate", 48000}};
    for (auto& [key, value] : fields.items()) d[key] = value;
    return d;
}

nlohmann::json oneDevice(const nlohmann::json& d) {
    return {{"devices", nlohmann::json::array({d})}, {"default_input", d["uid"]}};
}

int countOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

int countStartingWith(const std::vector<std::string>& lines, const std::string& start) {
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; }));
}

}  // namespace tarnwick::testing::mic
