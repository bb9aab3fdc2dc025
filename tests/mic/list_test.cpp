// --list: every input-capable device with a readable UID, in the system's
// order, as pretty-printed JSON and one newline.

#include <gtest/gtest.h>

#include "tests/mic/mic_run.h"

namespace tarnwick::testing::mic {
namespace {

using ordered = nlohmann::ordered_json;

ordered entry(const std::string& uid, const std::string& name, bool isDefault, int rate, int channels) {
    ordered e;
    e["uid"] = uid;
    e["name"] = name;
    e["is_default"] = isDefault;
    e["sample_rate"] = rate;
    e["channels"] = channels;
    return e;
}

std::string stdoutText(MicRun& run) {
    auto bytes = run.child->stdoutBytes();
    return std::string(bytes.begin(), bytes.end());
}

nlohmann::json mixedDevices() {
    return nlohmann::json::array({
        device("studio", {{"name", "Studio Mic"}, {"input_channels", 2}, {"sample_rate", 44100.9}}),
        device("speakers", {{"input_channels", 0}, {"output_channels", 2}}),
        device("usb", {{"name", "USB \"Mic\" ü"}, {"input_channels", 1}, {"sample_rate", 48000}}),
        device("nameless", {{"name", nullptr}, {"input_channels", 1}, {"sample_rate", nullptr}}),
        {{"uid", nullptr}, {"name", "No UID"}, {"input_channels", 2}},
        device("multi", {{"input_channels", {1, 2, 0}}, {"sample_rate", 96000}}),
        device("headset", {{"name", "Headset"}, {"input_channels", 1}, {"output_channels", 2}, {"sample_rate", 16000}}),
    });
}

TEST(MicList, ListsInputDevicesInSystemOrderWithExactKeysAndDefault) {
    MicRun run = runMic({{"devices", mixedDevices()}, {"default_input", "usb"}}, {"--list"});
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    EXPECT_TRUE(run.messages().empty());
    ordered expected = ordered::array({
        entry("studio", "Studio Mic", false, 44100, 2),
        entry("usb", "USB \"Mic\" ü", true, 48000, 1),
        entry("nameless", "nameless", false, 0, 1),
        entry("multi", "multi", false, 96000, 3),
        entry("headset", "Headset", false, 16000, 1),
    });
    std::string text = stdoutText(run);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n', text.size() - 2), text.size() - 1) << "exactly one trailing newline";
    // Key order and values, independent of whitespace.
    EXPECT_EQ(ordered::parse(text), expected);
    EXPECT_EQ(ordered::parse(text).dump(), expected.dump());
    // Pretty-printed: one key per line.
    EXPECT_NE(text.find("\n    \"uid\": \"studio\",\n"), std::string::npos) << text;
}

TEST(MicList, WithoutDefaultInputNothingIsMarked) {
    MicRun run = runMic({{"devices", mixedDevices()}, {"default_input", nullptr}}, {"--list"});
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    auto list = nlohmann::json::parse(stdoutText(run));
    ASSERT_EQ(list.size(), 5u);
    for (const auto& e : list) EXPECT_EQ(e["is_default"], false) << e;
}

TEST(MicList, EmptyDeviceSetPrintsAnEmptyArray) {
    MicRun run = runMic({{"devices", nlohmann::json::array()}}, {"--list"});
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    EXPECT_EQ(stdoutText(run), "[]\n");
    EXPECT_TRUE(run.messages().empty());
}

TEST(MicList, OutputOnlyDevicesGiveAnEmptyArray) {
    MicRun run = runMic({{"devices", {device("speakers", {{"input_channels", 0}, {"output_channels", 2}})}}},
                        {"--list"});
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    EXPECT_EQ(stdoutText(run), "[]\n");
}

// A stream configuration that claims more buffers than its size holds is
// read only as far as it goes.
TEST(MicList, MalformedStreamConfigurationCountsOnlyBuffersThatFit) {
    nlohmann::json devices = nlohmann::json::array({
        // Three buffers claimed, room for one: 8 + 16.
        device("short", {{"input_channels", {2, 3, 4}}, {"input_configuration_size", 24}}),
        // Room for no buffer at all.
        device("empty", {{"input_channels", {2}}, {"input_configuration_size", 8}}),
        // Less than the buffer count itself.
        device("tiny", {{"input_channels", {2}}, {"input_configuration_size", 3}}),
        // Room for two and a half buffers.
        device("partial", {{"input_channels", {1, 1, 5}}, {"input_configuration_size", 48}}),
    });
    MicRun run = runMic({{"devices", devices}, {"default_input", "short"}}, {"--list"});
    EXPECT_EQ(run.child->wait(exitTimeout), 0);
    auto list = nlohmann::json::parse(stdoutText(run));
    ASSERT_EQ(list.size(), 2u) << list;
    EXPECT_EQ(list[0]["uid"], "short");
    EXPECT_EQ(list[0]["channels"], 2);
    EXPECT_EQ(list[1]["uid"], "partial");
    EXPECT_EQ(list[1]["channels"], 2);
}

TEST(MicList, ClosedStdoutFailsWithStatusOne) {
    MicRun run = runMicWithoutStdout({{"devices", mixedDevices()}}, {"--list"});
    EXPECT_EQ(run.child->wait(exitTimeout), 1);
    EXPECT_EQ(run.messages(), std::vector<std::string>{"could not write device list to stdout"});
    // The list went nowhere else either (a file opened later must not have
    // taken standard output's place).
    for (const std::string& line : run.traceLines()) {
        EXPECT_TRUE(line.find(" -> ") != std::string::npos || line.rfind("EVENT", 0) == 0) << line;
    }
}

}  // namespace
}  // namespace tarnwick::testing::mic
