#pragma once

// Main-thread tasks written as C++20 coroutines that suspend only at explicit waits (a sleep, a platform
// operation's completion) and always resume on the main queue.

#include "Error.hpp"
#include "MainQueue.hpp"

#include <atomic>
#include <concepts>
#include <coroutine>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace kestrova::platform {

// Cancellation of a spawned task. Cooperative: the task reads it at its own steps; a pending sleep ends at once.
class CancelState {
public:
    void cancel();
    bool isCancelled() const { return cancelled_.load(std::memory_order_acquire); }

    // The one wake-up a suspended sleep leaves behind; called once when cancellation arrives.
    void setWake(Closure wake);
    void clearWake();

private:
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    Closure wake_;
};

namespace detail {

struct PromiseBase {
    std::shared_ptr<CancelState> cancel;
    std::coroutine_handle<> continuation;
    std::exception_ptr failure;

    void unhandled_exception() noexcept { failure = std::current_exception(); }
};

struct FinalAwaiter {
    bool await_ready() const noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> done) noexcept {
        auto next = done.promise().continuation;
        return next ? next : std::noop_coroutine();
    }
    void await_resume() const noexcept {}
};

// No exception crosses a task boundary: an escaped exception is a programming fault.
[[noreturn]] void failTask(std::exception_ptr failure);

template <class T>
struct ValueSlot {
    std::optional<T> value;
    template <class V>
    void return_value(V&& v) { value.emplace(std::forward<V>(v)); }
    T take() { return std::move(*value); }
};

template <>
struct ValueSlot<void> {
    void return_void() noexcept {}
    void take() noexcept {}
};

}  // namespace detail

// A lazily started main-thread coroutine. It begins when awaited (or spawned) and hands back its result.
template <class T = void>
class [[nodiscard]] Task {
public:
    struct promise_type : detail::PromiseBase, detail::ValueSlot<T> {
        Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        detail::FinalAwaiter final_suspend() noexcept { return {}; }
    };

    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { reset(); }

    bool await_ready() const noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> parent) noexcept {
        handle_.promise().continuation = parent;
        handle_.promise().cancel = parent.promise().cancel;
        return handle_;
    }
    T await_resume() {
        if (handle_.promise().failure) detail::failTask(handle_.promise().failure);
        return handle_.promise().take();
    }

private:
    explicit Task(std::coroutine_handle<promise_type> h) : handle_(h) {}
    void reset() {
        if (handle_) handle_.destroy();
        handle_ = {};
    }
    std::coroutine_handle<promise_type> handle_;
};

// What spawn() hands back: a way to cancel the task and to see whether it has finished.
class TaskHandle {
public:
    TaskHandle() = default;
    void cancel() const;
    bool isCancelled() const;
    bool isDone() const;

private:
    friend TaskHandle spawn(Task<void> task);
    TaskHandle(std::shared_ptr<CancelState> cancel, std::shared_ptr<std::atomic<bool>> done)
        : cancel_(std::move(cancel)), done_(std::move(done)) {}
    std::shared_ptr<CancelState> cancel_;
    std::shared_ptr<std::atomic<bool>> done_;
};

// Starts the task on the main queue after the current main-thread work returns. The task owns itself.
TaskHandle spawn(Task<void> task);

// Inside a task: whether the spawned task it belongs to has been cancelled. Does not suspend.
struct CancellationQuery {
    bool cancelled = false;
    bool await_ready() const noexcept { return false; }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> h) noexcept {
        cancelled = h.promise().cancel && h.promise().cancel->isCancelled();
        return false;
    }
    bool await_resume() const noexcept { return cancelled; }
};
inline CancellationQuery isCancelled() { return {}; }

// Inside a task: waits for the delay on the main queue. Gives true when the full delay passed, false when the
// task's cancellation ended it early (at once, or before it began).
class SleepAwaiter {
public:
    explicit SleepAwaiter(Duration delay) : delay_(delay) {}
    bool await_ready() const noexcept { return false; }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> h) {
        return suspend(h, h.promise().cancel);
    }
    bool await_resume() const noexcept { return completed_; }

private:
    bool suspend(std::coroutine_handle<> h, const std::shared_ptr<CancelState>& cancel);
    Duration delay_;
    bool completed_ = false;
};
inline SleepAwaiter sleepFor(Duration delay) { return SleepAwaiter(delay); }

// The description used when a platform completion is dropped without ever being called.
const std::string& droppedCompletionDescription();

// The callback handed to a platform operation. Callable once from any thread; further calls are ignored. When
// every copy is destroyed without a call, the waiting task still resumes: with a failure when the result can
// carry an Error, else with a default value. Either way the task resumes on the main queue, never inline.
template <class T>
class Completion {
    struct State {
        std::atomic<bool> fired{false};
        std::coroutine_handle<> waiter;
        std::optional<T>* slot = nullptr;

        void fire(T value) {
            if (fired.exchange(true, std::memory_order_acq_rel)) return;
            auto h = waiter;
            auto* s = slot;
            // Arriving after the main queue is gone, the result has no one left to resume and is dropped.
            (void)postToMainQueue([h, s, v = std::move(value)]() mutable {
                s->emplace(std::move(v));
                h.resume();
            });
        }
        ~State() {
            if (fired.load(std::memory_order_acquire)) return;
            if constexpr (std::constructible_from<T, Error>) {
                fire(T(Error(droppedCompletionDescription())));
            } else {
                fire(T{});
            }
        }
    };

public:
    void operator()(T value) const { state_->fire(std::move(value)); }

private:
    template <class U, class S>
    friend class CompletionAwaiter;
    explicit Completion(std::shared_ptr<State> s) : state_(std::move(s)) {}
    std::shared_ptr<State> state_;
};

template <class T, class Starter>
class CompletionAwaiter {
public:
    explicit CompletionAwaiter(Starter starter) : starter_(std::move(starter)) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) {
        auto state = std::make_shared<typename Completion<T>::State>();
        state->waiter = h;
        state->slot = &result_;
        // The task is fully suspended before the operation starts, so any thread may complete it at once.
        starter_(Completion<T>(std::move(state)));
    }
    T await_resume() { return std::move(*result_); }

private:
    Starter starter_;
    std::optional<T> result_;
};

// Inside a task: starts an operation that reports through a Completion<T>, and waits for that report.
template <class T, class Starter>
CompletionAwaiter<T, Starter> awaitCompletion(Starter starter) {
    return CompletionAwaiter<T, Starter>(std::move(starter));
}

}  // namespace kestrova::platform
