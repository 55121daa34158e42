#pragma once

// Serial worker queues: blocks that run one at a time, in order, on a thread of their own.

#include "MainQueue.hpp"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrova::platform {

enum class QueuePriority { normal, userInteractive };

// A serial queue: one worker thread, blocks run one at a time in submission order.
class SerialQueue {
public:
    explicit SerialQueue(std::string label, QueuePriority priority = QueuePriority::userInteractive);
    // Finishes every block already submitted, then joins the worker. Destroyed by one of its own blocks (the last
    // owner let go on the queue), it lets the worker finish the rest on its own instead.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Closure block);
    const std::string& label() const { return label_; }
    bool isCurrent() const;

private:
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::vector<Closure> blocks;
        bool closing = false;
    };
    static void work(const std::shared_ptr<State>& state);

    std::string label_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread worker_;
};

}  // namespace kestrova::platform
