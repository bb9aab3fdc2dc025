// The stream on standard output: complete writes through partial writes and
// interruptions, failures reported as false, the header's bytes, and the
// header always ahead of any PCM.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "frame/stream_writer.h"
#include "tests/support/eventually.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

std::atomic<int> interruptions{0};
void countInterruption(int) { interruptions.fetch_add(1); }

// A pipe that holds only one page, so writes block soon.
struct SmallPipe {
    int readFd = -1, writeFd = -1;
    SmallPipe() {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe");
        readFd = fds[0];
        writeFd = fds[1];
        ::fcntl(writeFd, F_SETPIPE_SZ, 4096);
    }
    ~SmallPipe() {
        if (readFd >= 0) ::close(readFd);
        if (writeFd >= 0) ::close(writeFd);
    }
    int buffered() const {
        int n = 0;
        ::ioctl(readFd, FIONREAD, &n);
        return n;
    }
    void closeWriter() {
        ::close(writeFd);
        writeFd = -1;
    }
    void closeReader() {
        ::close(readFd);
        readFd = -1;
    }
};

// SIGUSR1 interrupts blocking calls (no SA_RESTART) while installed.
struct InterruptingSignal {
    struct sigaction saved {};
    InterruptingSignal() {
        struct sigaction action {};
        action.sa_handler = countInterruption;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ::sigaction(SIGUSR1, &action, &saved);
    }
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &saved, nullptr); }
};

std::vector<unsigned char> pattern(std::size_t n) {
    std::vector<unsigned char> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0xff);
    return bytes;
}

using tarnwick::testing::eventually;

TEST(WriteAllTo, SurvivesPartialWritesAndInterruptionsWithoutLosingBytes) {
    InterruptingSignal interrupting;
    SmallPipe pipe;
    const auto data = pattern(256 * 1024);

    // This setup really produces both cases: a blocked write that is
    // interrupted returns -1/EINTR when it wrote nothing, a short count when
    // it wrote something.
    {
        std::atomic<ssize_t> result{0};
        std::atomic<int> error{0};
        pthread_t self{};
        std::atomic<bool> started{false};
        std::thread probe([&] {
            self = pthread_self();
            started = true;
            std::vector<unsigned char> fill(4096, 0);
            (void)::write(pipe.writeFd, fill.data(), fill.size());  // pipe now full
            ssize_t n = ::write(pipe.writeFd, data.data(), 1000);
            result = n;
            error = n < 0 ? errno : 0;
        });
        ASSERT_TRUE(eventually([&] { return started.load() && pipe.buffered() == 4096; }));
        std::this_thread::sleep_for(50ms);
        const int before = interruptions.load();
        while (interruptions.load() == before) {
            pthread_kill(self, SIGUSR1);
            std::this_thread::sleep_for(20ms);
        }
        probe.join();
        EXPECT_EQ(result.load(), -1);
        EXPECT_EQ(error.load(), EINTR);
        std::vector<unsigned char> drain(4096);
        ASSERT_EQ(::read(pipe.readFd, drain.data(), drain.size()), 4096);
    }

    // The real thing: one writeAllTo of 256 KiB through the one-page pipe.
    std::atomic<bool> writerDone{false};
    std::atomic<bool> ok{false};
    pthread_t writerThread{};
    std::atomic<bool> writerStarted{false};
    std::thread writer([&] {
        writerThread = pthread_self();
        writerStarted = true;
        ok = writeAllTo(pipe.writeFd, data.data(), data.size());
        writerDone = true;
    });
    ASSERT_TRUE(eventually([&] { return writerStarted.load() && pipe.buffered() == 4096; }));

    // With nobody reading, the first interruption cuts the first write short
    // (it wrote a page); every later one hits a write that has written
    // nothing yet: EINTR.
    for (int i = 0; i < 4 && !writerDone.load(); ++i) {
        std::this_thread::sleep_for(50ms);  // the writer is blocked again
        const int before = interruptions.load();
        pthread_kill(writerThread, SIGUSR1);
        ASSERT_TRUE(eventually([&] { return interruptions.load() > before; }));
    }

    // Then a slow reader while signals keep coming: short writes.
    std::thread interrupter([&] {
        while (!writerDone.load()) {
            pthread_kill(writerThread, SIGUSR1);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::vector<unsigned char> received;
    std::vector<unsigned char> buffer(1500);
    while (received.size() < data.size()) {
        if (writerDone.load() && pipe.buffered() == 0) break;  // the writer gave up
        pollfd ready{pipe.readFd, POLLIN, 0};
        if (::poll(&ready, 1, 50) <= 0) continue;
        ssize_t n = ::read(pipe.readFd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        ASSERT_GT(n, 0);
        received.insert(received.end(), buffer.begin(), buffer.begin() + n);
        std::this_thread::sleep_for(200us);  // slower than the writer
    }
    writer.join();
    interrupter.join();
    EXPECT_TRUE(ok.load());
    EXPECT_EQ(pipe.buffered(), 0);
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data) << "bytes lost, duplicated or reordered";
}

TEST(WriteAllTo, FailsWhenTheReaderIsGoneAndAcceptsEmptyRanges) {
    ::signal(SIGPIPE, SIG_IGN);
    SmallPipe pipe;
    const auto data = pattern(100);
    EXPECT_TRUE(writeAllTo(pipe.writeFd, data.data(), 0));
    EXPECT_TRUE(writeAllTo(pipe.writeFd, nullptr, 0));
    EXPECT_EQ(pipe.buffered(), 0);
    EXPECT_TRUE(writeAllTo(pipe.writeFd, data.data(), data.size()));
    pipe.closeReader();
    EXPECT_FALSE(writeAllTo(pipe.writeFd, data.data(), data.size()));
    EXPECT_TRUE(writeAllTo(pipe.writeFd, data.data(), 0));
    EXPECT_FALSE(writeAllTo(-1, data.data(), data.size()));
}

TEST(WriteAllTo, ReaderGoneWhileBlockedFailsInsteadOfHanging) {
    ::signal(SIGPIPE, SIG_IGN);
    SmallPipe pipe;
    const auto data = pattern(64 * 1024);
    std::atomic<bool> ok{true};
    std::thread writer([&] { ok = writeAllTo(pipe.writeFd, data.data(), data.size()); });
    ASSERT_TRUE(eventually([&] { return pipe.buffered() == 4096; }));
    pipe.closeReader();
    writer.join();
    EXPECT_FALSE(ok.load());
}

std::vector<unsigned char> expectedHeader() {
    // 48000, 1, 32, 512, 5, 0 as little-endian 32-bit words.
    return {0x80, 0xBB, 0, 0, 1, 0, 0, 0, 32, 0, 0, 0, 0x00, 0x02, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0};
}

TEST(Header, LayoutIsSixLittleEndianWords) {
    unsigned char out[24];
    layoutHeader(out, 48000, 1, 32, 512, 5);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 24), expectedHeader());
    layoutHeader(out, 44100, 2, 32, 1024, 11);
    const std::vector<unsigned char> sys = {0x44, 0xAC, 0, 0, 2, 0, 0, 0, 32, 0, 0, 0,
                                            0x00, 0x04, 0, 0, 11, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<unsigned char>(out, out + 24), sys);
    layoutHeader(out, -2, 0, 32, 0x01020304, 5);
    EXPECT_EQ(out[0], 0xFE);
    EXPECT_EQ(out[3], 0xFF);
    EXPECT_EQ(out[12], 0x04);
    EXPECT_EQ(out[15], 0x01);
}

TEST(Header, WriteHeaderPutsTheHeaderOnTheStream) {
    SmallPipe pipe;
    resetStreamForTesting(pipe.writeFd);
    setProducerCode(5);
    EXPECT_FALSE(headerWritten());
    ASSERT_TRUE(writeHeader(48000, 1, 32, 512));
    EXPECT_TRUE(headerWritten());
    std::vector<unsigned char> bytes(64);
    ASSERT_EQ(::read(pipe.readFd, bytes.data(), bytes.size()), 24);
    bytes.resize(24);
    EXPECT_EQ(bytes, expectedHeader());
    resetStreamForTesting(STDOUT_FILENO);
}

TEST(Header, AFailedHeaderKeepsPcmOffTheStream) {
    ::signal(SIGPIPE, SIG_IGN);
    SmallPipe pipe;
    resetStreamForTesting(pipe.writeFd);
    setProducerCode(11);
    pipe.closeReader();
    EXPECT_FALSE(writeHeader(48000, 2, 32, 512));
    EXPECT_FALSE(headerWritten());
    const float samples[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    // Dropped before the header, so it neither writes nor fails.
    EXPECT_TRUE(writePcm(samples, sizeof samples));
    resetStreamForTesting(STDOUT_FILENO);
}

TEST(Header, ComesFirstWhilePcmIsHandedOverConcurrently) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    resetStreamForTesting(fds[1]);
    setProducerCode(5);
    std::vector<unsigned char> received;
    std::thread reader([&] {
        unsigned char buffer[8192];
        ssize_t n;
        while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) received.insert(received.end(), buffer, buffer + n);
    });

    // One chunk = 250 floats; every chunk the same, so the stream after the
    // header must be a whole number of exact copies.
    std::vector<float> chunk(250);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<float>(i) / 250.0f;
    const std::size_t chunkBytes = chunk.size() * sizeof(float);
    std::atomic<bool> stop{false};
    std::atomic<long> attempts{0};
    std::atomic<long> failures{0};
    std::thread producer([&] {
        while (!stop.load()) {
            if (!writePcm(chunk.data(), chunkBytes)) failures.fetch_add(1);
            attempts.fetch_add(1);
        }
    });
    ASSERT_TRUE(eventually([&] { return attempts.load() >= 200; }));
    ASSERT_TRUE(writeHeader(48000, 1, 32, 512));
    const long atHeader = attempts.load();
    ASSERT_TRUE(eventually([&] { return attempts.load() >= atHeader + 200; }));
    stop = true;
    producer.join();
    resetStreamForTesting(STDOUT_FILENO);
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);

    EXPECT_EQ(failures.load(), 0);
    ASSERT_GE(received.size(), 24u);
    EXPECT_EQ(std::vector<unsigned char>(received.begin(), received.begin() + 24), expectedHeader());
    const std::size_t pcm = received.size() - 24;
    EXPECT_GT(pcm, 0u);
    ASSERT_EQ(pcm % chunkBytes, 0u);
    for (std::size_t at = 24; at < received.size(); at += chunkBytes) {
        ASSERT_EQ(std::memcmp(received.data() + at, chunk.data(), chunkBytes), 0) << "chunk at byte " << at;
    }
    // Roughly the chunks handed over after the header, never those before.
    EXPECT_LE(static_cast<long>(pcm / chunkBytes), attempts.load() - 200 + 1);
}

}  // namespace
}  // namespace tarnwick
