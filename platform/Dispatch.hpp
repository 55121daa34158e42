#pragma once

// The execution model: one main queue that owns all control state, serial worker queues, and main-thread tasks
// written as C++20 coroutines that suspend only at explicit waits and always resume on the main queue.

#include "Error.hpp"

#include <atomic>
#include <chrono>
#include <concepts>
#include <condition_variable>
#include <coroutine>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

// The process's main queue, for the main thread's own use. Installing one replaces the previous; tests install a
// ManualLoop for their duration. Installing waits for posts under way on other threads to finish, so that a queue
// can be destroyed as soon as it is no longer installed.
MainQueue& mainQueue();
void installMainQueue(MainQueue* queue);
// Posts the closure to the installed main queue; from any thread. When none is installed (the program is ending)
// the closure is dropped and this gives false.
bool postToMainQueue(Closure work);

// A deterministic main queue for tests: nothing runs until the test says so, and time is virtual.
class ManualLoop final : public MainQueue {
public:
    ManualLoop();
    ~ManualLoop() override;
    ManualLoop(const ManualLoop&) = delete;
    ManualLoop& operator=(const ManualLoop&) = delete;

    void post(Closure work) override;
    bool isMainThread() const override;

    // Runs the oldest ready closure; false when none is ready.
    bool runOne();
    // Runs ready closures, including those they post, until none is ready; returns how many ran.
    std::size_t runUntilIdle();
    // Moves the virtual clock forward, running timers in due order and everything they make ready.
    void advance(Duration by);
    // Runs work as it arrives, also from other threads, until the predicate holds or the real-time bound passes.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = std::chrono::seconds(10));

    Duration now() const;
    std::size_t readyCount() const;
    std::size_t timerCount() const;

protected:
    void schedule(Duration delay, Closure work) override;

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Closure> ready_;
    std::multimap<Duration, Closure> timers_;
    Duration now_{0};
    std::thread::id owner_;
    MainQueue* previous_;
};

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

// ---------------------------------------------------------------------------------------------------------------
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
