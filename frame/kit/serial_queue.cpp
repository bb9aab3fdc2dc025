#include "frame/kit/serial_queue.h"

#include <atomic>
#include <vector>

namespace tarnwick::kit {

namespace {
thread_local const SerialQueue* currentQueue = nullptr;

struct CurrentQueueScope {
    const SerialQueue* saved;
    explicit CurrentQueueScope(const SerialQueue* q) : saved(currentQueue) { currentQueue = q; }
    ~CurrentQueueScope() { currentQueue = saved; }
};
}  // namespace

void ItemRing::push(std::function<void()> item) {
    if (count_ == slots_.size()) {
        std::vector<std::function<void()>> larger(slots_.size() * 2);
        for (std::size_t i = 0; i < count_; ++i) larger[i] = std::move(slots_[(head_ + i) % slots_.size()]);
        slots_ = std::move(larger);
        head_ = 0;
    }
    slots_[(head_ + count_) % slots_.size()] = std::move(item);
    ++count_;
}

std::function<void()> ItemRing::pop() {
    std::function<void()> item = std::move(slots_[head_]);
    slots_[head_] = nullptr;
    head_ = (head_ + 1) % slots_.size();
    --count_;
    return item;
}

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), thread_([this] { run(); }) {}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
    }
    wake_.notify_one();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        items_.push(std::move(work));
    }
    wake_.notify_one();
}

void SerialQueue::sync(FunctionRef<void()> work) {
    if (isCurrent()) {
        work();
        return;
    }
    {
        // An idle queue is taken at once, on this thread: nothing was
        // submitted before, and the queue's thread starts nothing while the
        // turn lasts. This spares a real-time caller (an IO cycle) two
        // thread switches per call.
        std::unique_lock lock(mutex_);
        if (!itemRunning_ && !syncRunning_ && items_.empty()) {
            syncRunning_ = true;
            lock.unlock();
            struct EndTurn {
                SerialQueue* queue;
                ~EndTurn() {
                    bool pending = false;
                    {
                        std::lock_guard lock(queue->mutex_);
                        queue->syncRunning_ = false;
                        pending = !queue->items_.empty() || queue->quitting_;
                    }
                    // Woken for nothing, the queue's thread would cost an
                    // IO cycle a thread switch after all.
                    if (pending) queue->wake_.notify_one();
                }
            } endTurn{this};
            CurrentQueueScope scope(this);
            work();
            return;
        }
    }
    // The turn is queued like any item, so the work runs after everything
    // submitted before it and before everything submitted after it. The
    // marker captures two pointers, which std::function keeps without
    // allocating.
    bool granted = false;
    async([this, &granted] {
        std::unique_lock lock(mutex_);
        granted = true;
        syncRunning_ = true;
        turnChanged_.notify_all();
        turnChanged_.wait(lock, [this] { return !syncRunning_; });
    });
    {
        std::unique_lock lock(mutex_);
        turnChanged_.wait(lock, [&granted] { return granted; });
    }
    struct EndTurn {
        SerialQueue* queue;
        ~EndTurn() {
            {
                std::lock_guard lock(queue->mutex_);
                queue->syncRunning_ = false;
            }
            queue->turnChanged_.notify_all();
        }
    } endTurn{this};
    CurrentQueueScope scope(this);
    work();
}

bool SerialQueue::isCurrent() const { return currentQueue == this; }

void SerialQueue::run() {
    for (;;) {
        std::function<void()> item;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return (quitting_ && !syncRunning_) || (!items_.empty() && !syncRunning_); });
            if (items_.empty()) return;  // quitting with nothing left
            item = items_.pop();
            itemRunning_ = true;
        }
        CurrentQueueScope scope(this);
        item();
        item = nullptr;  // what it holds goes before the next item starts, as before
        std::lock_guard lock(mutex_);
        itemRunning_ = false;
    }
}

namespace {
// A small fixed pool: enough that a shutdown blocked in a slow teardown never
// keeps a later request from being looked at.
class GlobalQueue {
public:
    GlobalQueue() {
        for (int i = 0; i < 4; ++i) workers_.emplace_back([this] { run(); });
        for (auto& w : workers_) w.detach();
    }
    void async(std::function<void()> work) {
        {
            std::lock_guard lock(mutex_);
            items_.push(std::move(work));
        }
        wake_.notify_one();
    }

private:
    void run() {
        for (;;) {
            std::function<void()> item;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return !items_.empty(); });
                item = items_.pop();
            }
            item();
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    ItemRing items_;
    std::vector<std::thread> workers_;
};
}  // namespace

void globalAsync(std::function<void()> work) {
    // Never destroyed: its detached workers may run until the process exits.
    static GlobalQueue* queue = new GlobalQueue();
    queue->async(std::move(work));
}

}  // namespace tarnwick::kit
