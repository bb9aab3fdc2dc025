// Log lines on standard error: prefix, message, one line feed, and whole lines
// even when threads log at the same moment.

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "frame/log.h"
#include "tests/frame/stderr_capture.h"

namespace tarnwick {
namespace {

using testing::StderrCapture;
using testing::splitLines;

TEST(Log, WritesPrefixMessageAndLineFeedToStderr) {
    setProgramName("tarnwick-miccapture");
    StderrCapture capture;
    log("");
    log("header sent at start: 48000 Hz, 1ch — ok → go");
    log("two\nlines");
    EXPECT_EQ(capture.finish(),
              "[tarnwick-miccapture] \n"
              "[tarnwick-miccapture] header sent at start: 48000 Hz, 1ch — ok → go\n"
              "[tarnwick-miccapture] two\\nlines\n");
}

TEST(Log, ControlCharactersAndBrokenUtf8AreEscapedVisibly) {
    setProgramName("tarnwick-syscapture");
    StderrCapture capture;
    log("a\rb\tc\x1b[2J\x7f\x0b\x0c" + std::string("\0z", 2));
    log("nel\xc2\x85 c1\xc2\x9f ls\xe2\x80\xa8 ps\xe2\x80\xa9 end");
    log("bad \xff\xc3 lone \xed\xa0\x80 short \xe2\x80");
    log("kept: — → é \xc2\xa0 \xf0\x9f\x8e\xa7 \\x41");
    EXPECT_EQ(capture.finish(),
              "[tarnwick-syscapture] a\\rb\\tc\\x1b[2J\\x7f\\x0b\\x0c\\x00z\n"
              "[tarnwick-syscapture] nel\\u0085 c1\\u009f ls\\u2028 ps\\u2029 end\n"
              "[tarnwick-syscapture] bad \\xff\\xc3 lone \\xed\\xa0\\x80 short \\xe2\\x80\n"
              "[tarnwick-syscapture] kept: — → é \xc2\xa0 \xf0\x9f\x8e\xa7 \\x41\n");
}

TEST(Log, LinesFromTwoThreadsStayWhole) {
    setProgramName("tarnwick-syscapture");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string a(1500, 'a');
    const std::string b(1500, 'b');
    constexpr int perThread = 300;
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) received.append(buffer, static_cast<std::size_t>(n));
    });
    std::thread ta([&] {
        for (int i = 0; i < perThread; ++i) logTo(fds[1], a);
    });
    std::thread tb([&] {
        for (int i = 0; i < perThread; ++i) logTo(fds[1], b);
    });
    ta.join();
    tb.join();
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);

    int countA = 0, countB = 0;
    for (const auto& line : splitLines(received)) {
        if (line == "[tarnwick-syscapture] " + a) {
            ++countA;
        } else if (line == "[tarnwick-syscapture] " + b) {
            ++countB;
        } else {
            ADD_FAILURE() << "mixed or broken line of " << line.size() << " bytes";
            break;
        }
    }
    EXPECT_EQ(countA, perThread);
    EXPECT_EQ(countB, perThread);
}

TEST(Log, GivesUpAtOnceWhenTheLineCannotBeWritten) {
    // A full pipe that would block: the write fails with EAGAIN, the line is
    // dropped and the caller carries on rather than spinning.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    std::size_t filled = 0;
    const std::string filler(1024, 'x');
    for (;;) {
        ssize_t n = ::write(fds[1], filler.data(), filler.size());
        if (n <= 0) break;
        filled += static_cast<std::size_t>(n);
    }
    logTo(fds[1], "dropped");
    std::string drained;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) drained.append(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(drained.size(), filled);
    EXPECT_EQ(drained.find('['), std::string::npos);

    // A pipe without reader (SIGPIPE ignored, as in capture) and a closed
    // descriptor: lost lines, no signal, no exception.
    ::signal(SIGPIPE, SIG_IGN);
    ::close(fds[0]);
    EXPECT_NO_THROW(logTo(fds[1], "nobody listens"));
    ::close(fds[1]);
    EXPECT_NO_THROW(logTo(fds[1], "closed"));
}

}  // namespace
}  // namespace tarnwick
