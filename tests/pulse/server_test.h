#pragma once
// The fixture of the real-server suites: each test runs once per server kind
// against that kind's shared private server, sets up the devices it needs as
// modules of its own and unloads them afterwards, so tests do not depend on
// one another's leftovers.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/pulse/sound_server.h"
#include "tests/pulse/test_signals.h"
#include "tests/support/child_process.h"

namespace tarnwick::testing::pulse {

// Generous: the suite also runs under sanitizers on a busy machine.
inline constexpr double startTimeout = 30;
inline constexpr double exitTimeout = 30;

class ServerTest : public ::testing::TestWithParam<ServerKind> {
protected:
    void SetUp() override;
    void TearDown() override;

    SoundServer& server() { return *server_; }

    // The rate of the microphones that addSource makes: 44100 Hz, which the
    // program must resample, where the server allows it. PipeWire (0.3.65)
    // starves a remap source at any rate but its graph's, and a graph whose
    // rate follows its devices records some of them at the wrong rate, so
    // there they run at the graph's fixed 48000 Hz.
    int micRate() const { return GetParam() == ServerKind::PulseAudio ? 44100 : 48000; }
    // The program's start line for a stereo microphone at micRate().
    std::string micStartLine(const std::string& name) const;

    // Loads a module and unloads it again when the test ends.
    unsigned load(const std::string& module, const std::string& arguments);
    // Unloads one of this test's modules now (an unplug).
    void unload(unsigned index);

    // A stereo null sink ("a speaker") at `rate`; its module index.
    unsigned addSink(const std::string& name, int rate);
    // A real input ("a microphone"): a stereo float source at micRate() that
    // is no sink's monitor, but a remap of the monitor of the null sink
    // `name` + "_feed". Its module index.
    unsigned addSource(const std::string& name);
    // Makes that source carry these stereo samples (at micRate()), then silence.
    ChildProcess& feed(const std::string& source, const std::vector<float>& samples);

    // Makes a device the server's default and waits until the server says
    // so (PipeWire's session manager applies it a moment later).
    void setDefaultSink(const std::string& name);
    void setDefaultSource(const std::string& name);
    // A speaker "spk" and a microphone "mic" as the defaults, and a minute of
    // sine playing into the speaker, so system audio carries sound.
    void speakerAndMicrophoneWithSound();

    // Plays interleaved float samples into `sink` with pacat.
    ChildProcess& play(const std::string& sink, const std::vector<float>& samples, int rate, int channels = 2);

    // Records `device` with parec alongside a program: a witness that tells
    // audio missing at the source (a player that underran) from audio our
    // program lost.
    ChildProcess& witness(const std::string& device, int rate, int channels);
    // Stops a witness; the interleaved samples it recorded.
    static std::vector<float> witnessed(ChildProcess& witness);
    // What a player said about underruns of its own.
    static bool underran(ChildProcess& player);

    // What to make of a capture that `lost` audio: when the player is to
    // blame (it said it underran, or the witness missed audio too), the case
    // repeats, saying so, up to kPlayerAttempts attempts in all; when the
    // player underran in every one of them the machine is too loaded to
    // judge the case at all.
    enum class Outside { None, Repeat, Unjudged };
    static constexpr int kPlayerAttempts = 3;
    static Outside outsideCause(int attempt, bool lost, bool lostAtSource, ChildProcess& player);

    // Starts one of our programs against the server.
    std::unique_ptr<ChildProcess> program(const std::string& path, const std::vector<std::string>& args = {});

private:
    SoundServer* server_ = nullptr;
    std::vector<unsigned> modules_;
    std::vector<std::unique_ptr<ChildProcess>> players_;
};

// Stderr lines of a program with its "[name] " prefix removed, the first IO
// cycles' statistics left out.
std::vector<std::string> messages(ChildProcess& child, const std::string& prefix);

// "PulseAudio" / "PipeWire" as test name suffixes.
std::string serverParamName(const ::testing::TestParamInfo<ServerKind>& info);

#define TARNWICK_ON_EVERY_SERVER(Suite) \
    INSTANTIATE_TEST_SUITE_P(Servers, Suite, \
                             ::testing::Values(ServerKind::PulseAudio, ServerKind::PipeWire), serverParamName)

}  // namespace tarnwick::testing::pulse
