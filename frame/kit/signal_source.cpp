#include "frame/kit/signal_source.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

namespace tarnwick::kit {

namespace {

// Write ends of the pipes that carry each signal's number from its handler to
// the delivering thread; each is stored before its handler is installed.
std::atomic<int> signalPipes[NSIG];

// Async-signal-safe: one byte into the pipe, errno left as it was. A full
// pipe drops the byte, and with it only a repeat of a signal still pending.
void onSignal(int signal) {
    const int savedErrno = errno;
    const int fd = signalPipes[signal].load(std::memory_order_relaxed);
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signal);
        while (::write(fd, &byte, 1) < 0 && errno == EINTR) {
        }
    }
    errno = savedErrno;
}

}  // namespace

namespace {

struct Caught {
    int readFd = -1;
    std::vector<int> signals;
    std::vector<struct sigaction> replaced;
};

Caught& caught() {
    static auto* c = new Caught();  // lives until exit
    return *c;
}

}  // namespace

void catchSignals(std::initializer_list<int> signals) {
    // A real handler rather than sigwait: sigwait sees a signal only if every
    // thread blocks it, and threads that exist before this call (queues,
    // workers, the audio system's threads) would take the default action —
    // termination — instead.
    Caught& c = caught();
    if (c.readFd >= 0) return;
    int fds[2];
    // pipe2 is not on macOS.
    if (::pipe(fds) != 0) return;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    c.readFd = fds[0];
    for (int s : signals) {
        if (s <= 0 || s >= NSIG) continue;
        signalPipes[s].store(fds[1]);
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigfillset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        struct sigaction old {};
        ::sigaction(s, &action, &old);
        c.signals.push_back(s);
        c.replaced.push_back(old);
    }
}

void deliverCaughtSignals(SerialQueue& queue, std::function<void(int)> handler) {
    Caught& c = caught();
    if (c.readFd < 0) return;
    sigset_t unblock;
    sigemptyset(&unblock);
    for (int s : c.signals) sigaddset(&unblock, s);
    ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    std::thread([readFd = c.readFd, &queue, handler = std::move(handler)] {
        for (;;) {
            unsigned char byte = 0;
            const ssize_t n = ::read(readFd, &byte, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            const int signal = byte;
            queue.async([handler, signal] { handler(signal); });
        }
    }).detach();
}

int releaseCaughtSignals() {
    Caught& c = caught();
    if (c.readFd < 0) return 0;
    for (std::size_t i = 0; i < c.signals.size(); ++i) ::sigaction(c.signals[i], &c.replaced[i], nullptr);
    ::fcntl(c.readFd, F_SETFL, ::fcntl(c.readFd, F_GETFL) | O_NONBLOCK);
    unsigned char byte = 0;
    return ::read(c.readFd, &byte, 1) == 1 ? byte : 0;
}

void deliverSignalsToQueue(std::initializer_list<int> signals, SerialQueue& queue, std::function<void(int)> handler) {
    catchSignals(signals);
    deliverCaughtSignals(queue, std::move(handler));
}

}  // namespace tarnwick::kit
