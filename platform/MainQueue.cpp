#include "MainQueue.hpp"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace kestrova::platform {

namespace {

// Held by a post while it runs and by installing. Posts are brief and rare enough that they need not run side by
// side, and a shared lock would let a stream of posts starve the uninstall at the program's end.
std::mutex installLock;
MainQueue* installedMainQueue = nullptr;

MainQueue* currentMainQueue() {
    std::lock_guard lock(installLock);
    return installedMainQueue;
}

}  // namespace

void DelayedWork::cancel() const {
    if (cancelled_) cancelled_->store(true, std::memory_order_release);
}

bool DelayedWork::isCancelled() const { return cancelled_ && cancelled_->load(std::memory_order_acquire); }

DelayedWork MainQueue::postAfter(Duration delay, Closure work) {
    auto flag = std::make_shared<std::atomic<bool>>(false);
    schedule(delay, [flag, work = std::move(work)] {
        if (!flag->load(std::memory_order_acquire)) work();
    });
    return DelayedWork(std::move(flag));
}

MainQueue& mainQueue() {
    MainQueue* queue = currentMainQueue();
    if (queue == nullptr) {
        std::fputs("kestrova: no main queue installed\n", stderr);
        std::abort();
    }
    return *queue;
}

MainQueue* installMainQueue(MainQueue* queue) {
    std::lock_guard lock(installLock);
    return std::exchange(installedMainQueue, queue);
}

bool postToMainQueue(Closure work) {
    {
        std::lock_guard lock(installLock);
        if (installedMainQueue != nullptr) {
            installedMainQueue->post(std::move(work));
            return true;
        }
    }
    // A dropped closure goes at return, outside the lock: what it owns may post again as it goes.
    return false;
}

}  // namespace kestrova::platform
