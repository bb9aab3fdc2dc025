#pragma once
// Test helpers: catch what the code under test writes to standard error, and
// build the exact text a child's stderr must hold.

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tarnwick::testing {

// Points file descriptor 2 at a pipe for its lifetime and collects the bytes;
// `finish` (or the destructor) puts the original stderr back.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Restores stderr and returns everything written meanwhile.
    std::string finish();
    std::vector<std::string> finishLines();

private:
    int savedFd_ = -1;
    int readFd_ = -1;
    std::string text_;
    std::thread reader_;
    bool finished_ = false;
};

std::vector<std::string> splitLines(const std::string& text);

// "[<program>] <line>\n" for each line, concatenated.
std::string logLines(const std::string& program, const std::vector<std::string>& lines);

// The whole stderr of a death-test child must equal `text`, byte for byte.
::testing::Matcher<const std::string&> stderrIs(const std::string& text);

// Death tests run in a freshly started copy of the test program, so threads
// of earlier tests (and sanitizer runtimes) never meet a fork.
class DeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

}  // namespace tarnwick::testing
