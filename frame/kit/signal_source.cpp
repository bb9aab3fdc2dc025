#include "frame/kit/signal_source.h"

#include <pthread.h>

#include <thread>
#include <vector>

namespace tarnwick::kit {

void deliverSignalsToQueue(std::initializer_list<int> signals, SerialQueue& queue, std::function<void(int)> handler) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : signals) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set, &queue, handler = std::move(handler)] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            queue.async([handler, signal] { handler(signal); });
        }
    }).detach();
}

}  // namespace tarnwick::kit
