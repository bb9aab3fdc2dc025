#include "frame/kit/semaphore.h"

#include <cerrno>
#include <cmath>
#include <ctime>

namespace tarnwick::kit {

Semaphore::Semaphore(unsigned initial) { sem_init(&sem_, 0, initial); }
Semaphore::~Semaphore() { sem_destroy(&sem_); }

void Semaphore::signal() { sem_post(&sem_); }

void Semaphore::wait() {
    while (sem_wait(&sem_) != 0 && errno == EINTR) {
    }
}

bool Semaphore::tryWait() { return sem_trywait(&sem_) == 0; }

bool Semaphore::waitFor(double seconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    double whole = 0;
    double fraction = std::modf(seconds < 0 ? 0 : seconds, &whole);
    deadline.tv_sec += static_cast<time_t>(whole);
    deadline.tv_nsec += static_cast<long>(fraction * 1e9);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        if (sem_clockwait(&sem_, CLOCK_MONOTONIC, &deadline) == 0) return true;
        if (errno != EINTR) return false;
    }
}

}  // namespace tarnwick::kit
