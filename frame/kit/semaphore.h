#pragma once
// A counting semaphore whose signal is safe on a real-time thread: no lock,
// no allocation (a futex-backed POSIX semaphore underneath).

#include <semaphore.h>

namespace tarnwick::kit {

class Semaphore {
public:
    explicit Semaphore(unsigned initial = 0);
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    void signal();
    void wait();
    // Waits at most `seconds`; true when a signal was taken in time.
    bool waitFor(double seconds);
    bool tryWait();

private:
    sem_t sem_;
};

}  // namespace tarnwick::kit
