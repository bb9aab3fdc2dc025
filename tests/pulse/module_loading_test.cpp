// The PulseAudio backend is loaded only when it is chosen: the programs' own
// load is the C++ runtime, libsoxr and libc, a run on the simulated system
// never maps libpulse, and without the module the backend fails with one
// line and status 1 while everything else still works.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "tests/support/child_process.h"

namespace tarnwick::testing {
namespace {

namespace fs = std::filesystem;

constexpr double timeout = 30;

struct Program {
    std::string path, name;
};
const std::vector<Program> programs = {{micProgram(), "tarnwick-miccapture"}, {sysProgram(), "tarnwick-syscapture"}};

// The libraries the dynamic loader maps for `program`, by file name.
std::vector<std::string> loadedLibraries(const std::string& program) {
    std::vector<std::string> names;
    FILE* ldd = ::popen(("ldd '" + program + "'").c_str(), "r");
    if (ldd == nullptr) return names;
    char line[1024];
    while (std::fgets(line, sizeof line, ldd) != nullptr) {
        std::istringstream fields(line);
        std::string first;
        if (fields >> first) names.push_back(fs::path(first).filename().string());
    }
    ::pclose(ldd);
    return names;
}

// A copy of the program in a directory of its own, where no module lies
// beside it: as on a machine where the module (or libpulse) is missing.
std::string lonelyCopy(const Program& program) {
    const fs::path dir = fs::path(tempPath("-bin")) / "bin";
    fs::create_directories(dir);
    const fs::path copy = dir / program.name;
    fs::copy_file(program.path, copy);
    return copy.string();
}

TEST(PulseModule, ProgramsLoadOnlyTheRuntimeLibsoxrAndLibc) {
    // libgomp comes with libsoxr; the sanitizer runtimes with those builds.
    const std::set<std::string> allowed = {"linux-vdso", "ld-linux-x86-64", "ld-linux-aarch64", "libc", "libm",
                                           "libstdc++", "libgcc_s", "libsoxr", "libgomp", "libasan", "libubsan",
                                           "libtsan"};
    for (const auto& p : programs) {
        SCOPED_TRACE(p.name);
        const auto libraries = loadedLibraries(p.path);
        ASSERT_FALSE(libraries.empty()) << "ldd listed nothing";
        for (const auto& library : libraries) {
            EXPECT_TRUE(allowed.count(library.substr(0, library.find(".so")))) << library;
        }
    }
}

TEST(PulseModule, WithoutTheModuleOnlyThePulseBackendFails) {
    for (const auto& p : programs) {
        SCOPED_TRACE(p.name);
        const std::string copy = lonelyCopy(p);
        const std::string module =
            (fs::path(copy).parent_path() / TARNWICK_PULSE_MODULE_FROM_PROGRAMS).lexically_normal().string();
        const std::string line = "[" + p.name + "] cannot load the PulseAudio backend: " + module +
                                 ": cannot open shared object file: No such file or directory";
        // Chosen, and as Linux's default.
        for (const std::string audio : {"pulse", ""}) {
            ChildProcess child(copy, {}, {{"TARNWICK_AUDIO", audio}});
            EXPECT_EQ(child.wait(timeout), 1);
            EXPECT_EQ(child.stderrLines(), std::vector<std::string>{line});
            EXPECT_TRUE(child.stdoutBytes().empty());
        }

        ChildProcess version(copy, {"--version"});
        EXPECT_EQ(version.wait(timeout), 0);
        const auto answer = version.stdoutBytes();
        EXPECT_TRUE(std::string(answer.begin(), answer.end()).starts_with(p.name + " "));

        // A capture on the simulated system, from start to orderly stop,
        // without libpulse in the process.
        ChildProcess sim(copy, {}, {{"TARNWICK_AUDIO", "sim"}});
        ASSERT_TRUE(sim.waitForStderr("capture started", timeout)) << sim.stderrText();
        std::ifstream maps("/proc/" + std::to_string(sim.pid()) + "/maps");
        std::stringstream mapped;
        mapped << maps.rdbuf();
        EXPECT_EQ(mapped.str().find("libpulse"), std::string::npos);
        EXPECT_NE(mapped.str().find("libsoxr"), std::string::npos) << "the map was not read";
        sim.closeStdin();
        EXPECT_EQ(sim.wait(timeout), 0);
    }
}

}  // namespace
}  // namespace tarnwick::testing
