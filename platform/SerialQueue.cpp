#include "SerialQueue.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace kestrova::platform {

SerialQueue::SerialQueue(std::string label, QueuePriority priority) : label_(std::move(label)) {
    // Thread names are limited to 15 bytes; the tail of a reverse-DNS label is the telling part.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    worker_ = std::thread([state = state_, priority, name = std::move(name)] {
        pthread_setname_np(pthread_self(), name.c_str());
        if (priority == QueuePriority::userInteractive) {
            // Raised priority where the process may take it; an unprivileged process keeps the default.
            (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -10);
        }
        work(state);
    });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->closing = true;
    }
    state_->wake.notify_all();
    if (isCurrent()) {
        worker_.detach();
    } else {
        worker_.join();
    }
}

void SerialQueue::async(Closure block) {
    {
        std::lock_guard lock(state_->mutex);
        state_->blocks.push_back(std::move(block));
    }
    state_->wake.notify_one();
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

void SerialQueue::work(const std::shared_ptr<State>& state) {
    // Blocks are taken a batch at a time, the batch's storage swapped with the queue's: both keep their capacity,
    // so a steady flow of blocks needs no new memory.
    std::vector<Closure> batch;
    for (;;) {
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->closing || !state->blocks.empty(); });
            if (state->blocks.empty()) return;
            batch.swap(state->blocks);
        }
        for (auto& block : batch) {
            block();
            // What the block holds goes when it has run, not with the rest of its batch.
            block = nullptr;
        }
        batch.clear();
    }
}

}  // namespace kestrova::platform
