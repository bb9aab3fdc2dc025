#include "tests/sys/sys_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>

namespace tarnwick::testing {

nlohmann::json counterScenario() {
    return {
        {"devices",
         {{{"uid", "spk"},
           {"name", "Speakers"},
           {"output_channels", 2},
           {"sample_rate", 48000},
           {"buffer_frames", 512},
           {"signal", {{"kind", "counter"}}}}}},
    };
}

SysRun::SysRun(const nlohmann::json& scenario, const std::vector<std::string>& args) {
    scenarioPath_ = writeTempFile(scenario.dump(2));
    tracePath_ = tempPath(".trace");
    child_ = std::make_unique<ChildProcess>(sysProgram(), args,
                                            std::map<std::string, std::string>{{"TARNWICK_AUDIO", audioSystemName()},
                                                                               {"TARNWICK_SIM_SCENARIO", scenarioPath_},
                                                                               {"TARNWICK_SIM_TRACE", tracePath_}});
}

bool SysRun::waitFor(const std::string& message, double seconds) {
    return child_->waitForStderr(sysPrefix + message, seconds);
}

int SysRun::stopAndWait(double seconds) {
    child_->closeStdin();
    return child_->wait(seconds);
}

std::vector<std::string> SysRun::messages() {
    std::vector<std::string> out;
    const std::string prefix = sysPrefix;
    for (const auto& line : child_->stderrLines()) {
        out.push_back(line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line);
    }
    return out;
}

namespace {

// "cb <digits>: ..."
bool isCycleLine(const std::string& m) {
    if (m.rfind("cb ", 0) != 0) return false;
    std::size_t i = 3;
    while (i < m.size() && std::isdigit(static_cast<unsigned char>(m[i]))) ++i;
    return i > 3 && m.compare(i, 2, ": ") == 0;
}

// The digits right after `marker` in `text`, or "" when there are none.
std::string digitsAfter(const std::string& text, const std::string& marker) {
    auto at = text.find(marker);
    if (at == std::string::npos) return {};
    std::size_t begin = at + marker.size(), end = begin;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    return text.substr(begin, end - begin);
}

}  // namespace

std::vector<std::string> SysRun::startMessages() {
    std::vector<std::string> out;
    for (auto& m : messages()) {
        if (!isCycleLine(m) && !m.starts_with("timeline: ")) out.push_back(m);
    }
    return out;
}

std::size_t SysRun::count(const std::string& message) {
    auto all = messages();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), message));
}

std::vector<TraceCall> parseTrace(const std::vector<std::string>& lines) {
    std::vector<TraceCall> calls;
    for (const auto& line : lines) {
        if (line.rfind("EVENT", 0) == 0) continue;
        auto arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        TraceCall call;
        std::istringstream left(line.substr(0, arrow));
        left >> call.call;
        for (std::string word; left >> word;) call.args.push_back(word);
        std::string right = line.substr(arrow + 4);
        auto space = right.find(' ');
        call.status = std::stoll(right.substr(0, space));
        if (space != std::string::npos) call.result = right.substr(space + 1);
        call.index = calls.size();
        calls.push_back(std::move(call));
    }
    return calls;
}

namespace {

// "unit#3" out of a result such as "unit#3".
std::string handleIn(const std::string& text, const std::string& kind) {
    std::string number = digitsAfter(text, kind + "#");
    return number.empty() ? std::string() : kind + "#" + number;
}

bool argsHold(const TraceCall& call, const std::string& token) {
    return std::find(call.args.begin(), call.args.end(), token) != call.args.end();
}

// Positions of the calls named `name` whose arguments hold `token`.
std::vector<std::size_t> callsOn(const std::vector<TraceCall>& trace, const std::string& name, const std::string& token) {
    std::vector<std::size_t> at;
    for (const auto& c : trace) {
        if (c.call == name && argsHold(c, token)) at.push_back(c.index);
    }
    return at;
}

}  // namespace

Created createdObjects(const std::vector<TraceCall>& trace) {
    Created made;
    for (const auto& c : trace) {
        const std::string id = digitsAfter(c.result, "id=");
        if (c.call == "AudioComponentInstanceNew" && !handleIn(c.result, "unit").empty()) {
            made.units.push_back(handleIn(c.result, "unit"));
        } else if (c.call == "AudioDeviceCreateIOProcIDWithBlock" && !handleIn(c.result, "proc").empty()) {
            made.procs.push_back(handleIn(c.result, "proc"));
        } else if (c.call == "AudioHardwareCreateProcessTap" && !id.empty()) {
            made.taps.push_back(std::stoul(id));
        } else if (c.call == "AudioHardwareCreateAggregateDevice" && !id.empty()) {
            made.aggregates.push_back(std::stoul(id));
        }
    }
    return made;
}

void expectEverythingReleasedInOrder(const std::vector<TraceCall>& trace) {
    const Created made = createdObjects(trace);
    auto once = [&](const std::string& name, const std::string& token) -> long {
        auto at = callsOn(trace, name, token);
        EXPECT_EQ(at.size(), 1u) << name << " on " << token << " should happen exactly once";
        return at.empty() ? -1 : static_cast<long>(at.front());
    };
    // Attempts build their objects in the same order, so the k-th object of
    // each kind belongs to attempt k.
    for (std::size_t k = 0; k < made.units.size(); ++k) {
        std::vector<std::pair<std::string, long>> order;
        order.emplace_back("dispose " + made.units[k], once("AudioComponentInstanceDispose", made.units[k]));
        if (k < made.procs.size()) {
            order.emplace_back("stop " + made.procs[k], once("AudioDeviceStop", made.procs[k]));
            order.emplace_back("destroy " + made.procs[k], once("AudioDeviceDestroyIOProcID", made.procs[k]));
        }
        if (k < made.aggregates.size()) {
            const auto id = std::to_string(made.aggregates[k]);
            order.emplace_back("destroy aggregate " + id, once("AudioHardwareDestroyAggregateDevice", id));
        }
        if (k < made.taps.size()) {
            const auto id = std::to_string(made.taps[k]);
            order.emplace_back("destroy tap " + id, once("AudioHardwareDestroyProcessTap", id));
        }
        for (std::size_t i = 1; i < order.size(); ++i) {
            EXPECT_LT(order[i - 1].second, order[i].second)
                << order[i - 1].first << " should come before " << order[i].first;
        }
    }
    // Listener registrations: removed once each, after they were made.
    for (const auto& added : trace) {
        if (added.call != "AudioObjectAddPropertyListenerBlock" || added.status != 0) continue;
        std::size_t removals = 0;
        for (const auto& removed : trace) {
            if (removed.call == "AudioObjectRemovePropertyListenerBlock" && removed.args == added.args &&
                removed.status == 0 && removed.index > added.index) {
                ++removals;
            }
        }
        std::string args;
        for (const auto& word : added.args) args += " " + word;
        EXPECT_EQ(removals, 1u) << "the listener on" << args << " should be removed exactly once";
    }
    EXPECT_GE(made.units.size(), made.taps.size()) << "a tap without a keep-alive unit before it";
    EXPECT_GE(made.taps.size(), made.aggregates.size());
    EXPECT_GE(made.aggregates.size(), made.procs.size());
}

CounterReport checkCounter(const std::vector<float>& samples, const std::vector<int>& deviceChannels) {
    CounterReport report;
    const std::size_t channels = deviceChannels.size();
    report.frames = samples.size() / channels;
    long long previous = -1;
    for (std::size_t f = 0; f < report.frames; ++f) {
        const float* frame = samples.data() + f * channels;
        const double fraction = static_cast<double>(frame[0]) - deviceChannels[0];
        const long long n = std::llround(fraction * 1048576.0);
        for (std::size_t c = 0; c < channels; ++c) {
            const float expected = static_cast<float>(deviceChannels[c]) + static_cast<float>(n) / 1048576.0f;
            if (frame[c] != expected && report.firstProblem.empty()) {
                std::ostringstream s;
                s << "frame " << f << " channel " << c << ": " << frame[c] << " is not counter value " << expected;
                report.firstProblem = s.str();
            }
        }
        if (previous >= 0 && n != (previous + 1) % 1048576) ++report.gaps;
        previous = n;
    }
    return report;
}

}  // namespace tarnwick::testing
