#include "frame/kit/signal_source.h"

#include <fcntl.h>
#include <poll.h>
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
    sigset_t set{};
    sigset_t callerMask{};
};

Caught& caught() {
    static auto* c = new Caught();  // lives until exit
    return *c;
}

}  // namespace

void catchSignals(std::initializer_list<int> signals) {
    // Every thread started from here on inherits the signals blocked, and only
    // the delivering thread takes them, asleep in read(). A signal that lands
    // on a thread asleep outside any library call (a futex, a raw
    // clock_nanosleep) could otherwise wait there: a sanitizer's runtime
    // holds the handler back until that thread calls into the library again.
    // The handler still matters for a thread that existed before this call.
    Caught& c = caught();
    if (c.readFd >= 0) return;
    sigemptyset(&c.set);
    for (int s : signals) {
        if (s > 0 && s < NSIG) sigaddset(&c.set, s);
    }
    ::pthread_sigmask(SIG_BLOCK, &c.set, &c.callerMask);
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
    // A signal already pending — held by a mask inherited from the parent, or
    // raised at this thread before it ran this program — is pending for this
    // thread alone and no other thread could take it: take it here. Nothing
    // else has the signals unblocked yet, so none can take it in between.
    sigset_t pending;
    sigemptyset(&pending);
    ::sigpending(&pending);
    for (int s : c.signals) {
        if (sigismember(&pending, s) != 1) continue;
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, s);
        int taken = 0;
        if (::sigwait(&only, &taken) == 0) onSignal(taken);
    }
    std::thread([readFd = c.readFd, set = c.set, &queue, handler = std::move(handler)] {
        // The only thread with the signals unblocked, whatever the mask the
        // parent handed down. It starts no thread that could inherit that.
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        for (;;) {
            // Waiting in poll rather than read: a sanitizer's runtime runs a
            // handler at once only for a thread asleep in a call it knows to
            // block, and read is not one of them.
            struct pollfd ready {readFd, POLLIN, 0};
            if (::poll(&ready, 1, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
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
    const int held = ::read(c.readFd, &byte, 1) == 1 ? byte : 0;
    // With the old dispositions back, a signal still pending here takes its
    // effect as the mask comes off, as it would have without us.
    ::pthread_sigmask(SIG_SETMASK, &c.callerMask, nullptr);
    return held;
}

void deliverSignalsToQueue(std::initializer_list<int> signals, SerialQueue& queue, std::function<void(int)> handler) {
    catchSignals(signals);
    deliverCaughtSignals(queue, std::move(handler));
}

}  // namespace tarnwick::kit
