#include "Tasks.hpp"

#include <cstdio>

namespace kestrova::platform {

// --- Cancellation ----------------------------------------------------------------------------------------------

void CancelState::cancel() {
    cancelled_.store(true, std::memory_order_release);
    Closure wake;
    {
        std::lock_guard lock(mutex_);
        wake.swap(wake_);
    }
    if (wake) wake();
}

void CancelState::setWake(Closure wake) {
    {
        std::lock_guard lock(mutex_);
        if (!isCancelled()) {
            wake_ = std::move(wake);
            return;
        }
    }
    wake();
}

void CancelState::clearWake() {
    Closure dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(wake_);
}

// --- Tasks -----------------------------------------------------------------------------------------------------

namespace detail {

void failTask(std::exception_ptr) {
    std::fputs("kestrova: an exception escaped a main-thread task\n", stderr);
    std::terminate();
}

}  // namespace detail

namespace {

// The self-owning frame of a spawned task: it awaits the task's body and frees itself when the body ends.
struct RootTask {
    struct promise_type : detail::PromiseBase {
        std::shared_ptr<std::atomic<bool>> done;

        promise_type(Task<void>&, std::shared_ptr<CancelState>& c, std::shared_ptr<std::atomic<bool>>& d)
            : done(d) {
            cancel = c;
        }
        RootTask get_return_object() { return {std::coroutine_handle<promise_type>::from_promise(*this)}; }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept { done->store(true, std::memory_order_release); }
        void unhandled_exception() noexcept { detail::failTask(std::current_exception()); }
    };
    std::coroutine_handle<promise_type> handle;
};

RootTask runRoot(Task<void> body, std::shared_ptr<CancelState>, std::shared_ptr<std::atomic<bool>>) {
    co_await body;
}

// Frees a spawned task's frame if its start is dropped with the queue, so that an unrun task never leaks.
struct PendingStart {
    std::coroutine_handle<> frame;
    ~PendingStart() {
        if (frame) frame.destroy();
    }
};

}  // namespace

void TaskHandle::cancel() const {
    if (cancel_) cancel_->cancel();
}

bool TaskHandle::isCancelled() const { return cancel_ && cancel_->isCancelled(); }

bool TaskHandle::isDone() const { return done_ && done_->load(std::memory_order_acquire); }

TaskHandle spawn(Task<void> task) {
    auto cancel = std::make_shared<CancelState>();
    auto done = std::make_shared<std::atomic<bool>>(false);
    RootTask root = runRoot(std::move(task), cancel, done);
    auto pending = std::make_shared<PendingStart>();
    pending->frame = root.handle;
    mainQueue().post([pending] { std::exchange(pending->frame, {}).resume(); });
    return TaskHandle(std::move(cancel), std::move(done));
}

bool SleepAwaiter::suspend(std::coroutine_handle<> h, const std::shared_ptr<CancelState>& cancel) {
    if (cancel && cancel->isCancelled()) {
        completed_ = false;
        return false;
    }
    auto once = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<CancelState> weakCancel = cancel;
    auto resume = [h, once, weakCancel, this](bool full) {
        if (once->exchange(true)) return;
        completed_ = full;
        if (auto c = weakCancel.lock()) c->clearWake();
        h.resume();
    };
    DelayedWork timer = mainQueue().postAfter(delay_, [resume] { resume(true); });
    if (cancel) {
        // A cancellation may come from a destructor as the program ends, when no main queue is left to wake on.
        cancel->setWake([resume, timer] {
            timer.cancel();
            (void)postToMainQueue([resume] { resume(false); });
        });
    }
    return true;
}

const std::string& droppedCompletionDescription() {
    static const std::string text = "La operación terminó sin respuesta de la plataforma";
    return text;
}

}  // namespace kestrova::platform
