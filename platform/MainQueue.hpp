#pragma once

// The main queue that owns all control state: work posted to it from any thread runs on the main thread, now or
// after a delay.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <utility>

namespace kestrova::platform {

using Closure = std::function<void()>;
using Duration = std::chrono::nanoseconds;

// Handle of work posted after a delay. Cancelling it before it runs means it never runs; afterwards it is a no-op.
class DelayedWork {
public:
    DelayedWork() = default;
    void cancel() const;
    bool isCancelled() const;

private:
    friend class MainQueue;
    explicit DelayedWork(std::shared_ptr<std::atomic<bool>> flag) : cancelled_(std::move(flag)) {}
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

// The main queue. Providers: ManualLoop (tests) and the application framework's event loop.
class MainQueue {
public:
    virtual ~MainQueue() = default;

    // Runs the closure later on the main thread, after the current main-thread work. Callable from any thread.
    virtual void post(Closure work) = 0;
    virtual bool isMainThread() const = 0;

    // Runs the closure on the main thread once the delay has passed, unless cancelled first.
    DelayedWork postAfter(Duration delay, Closure work);

protected:
    // Providers schedule a closure on their clock; cancellation is layered on top by postAfter.
    virtual void schedule(Duration delay, Closure work) = 0;
};

// The process's main queue, for the main thread's own use. Installing one replaces the previous, which it gives
// back; tests install a ManualLoop for their duration. Installing waits for posts under way on other threads to
// finish, so that a queue can be destroyed as soon as it is no longer installed.
MainQueue& mainQueue();
MainQueue* installMainQueue(MainQueue* queue);
// Posts the closure to the installed main queue; from any thread. When none is installed (the program is ending)
// the closure is dropped and this gives false.
bool postToMainQueue(Closure work);

}  // namespace kestrova::platform
