#pragma once
// A serial queue: work items run one at a time, in submission order, on the
// queue's own thread (async) or on the caller's thread while it holds the
// queue exclusively (sync), the way a serial dispatch queue behaves.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame/kit/function_ref.h"

namespace tarnwick::kit {

// FIFO of work items in a ring that only ever grows: once it has room for the
// queue's usual backlog, pushing and popping allocate nothing (a std::deque
// frees and allocates blocks as it moves along). Not thread-safe by itself.
class ItemRing {
public:
    bool empty() const { return count_ == 0; }
    void push(std::function<void()> item);
    std::function<void()> pop();

private:
    std::vector<std::function<void()>> slots_ = std::vector<std::function<void()>>(16);
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Runs later, on the queue's thread.
    void async(std::function<void()> work);

    // Runs on the calling thread once every item submitted before it has
    // finished, excluded from every other item of this queue. Called from an
    // item of this same queue, it runs `work` at once (the queue is already
    // held).
    void sync(FunctionRef<void()> work);

    // True while the calling thread runs an item of this queue.
    bool isCurrent() const;

    const std::string& label() const { return label_; }

private:
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    ItemRing items_;
    bool quitting_ = false;
    // A sync caller's turn: the queue thread grants it and then waits, still
    // holding its place in the order, until the caller's work is done.
    std::condition_variable turnChanged_;
    bool syncRunning_ = false;
    // The queue's thread is inside an item (under mutex_).
    bool itemRunning_ = false;
    std::thread thread_;
};

// The process-wide concurrent queue of default priority: each item may run on
// any of a few worker threads, so one slow item never holds back the others.
void globalAsync(std::function<void()> work);

}  // namespace tarnwick::kit
