#include "Dispatch.hpp"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

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

// Guards against a test that keeps reposting work forever.
constexpr std::size_t kIdleRunLimit = 10'000'000;

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

void installMainQueue(MainQueue* queue) {
    std::lock_guard lock(installLock);
    installedMainQueue = queue;
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

// --- ManualLoop ------------------------------------------------------------------------------------------------

ManualLoop::ManualLoop() : owner_(std::this_thread::get_id()), previous_(currentMainQueue()) {
    installMainQueue(this);
}

ManualLoop::~ManualLoop() {
    // Dropping leftover work can release coroutine frames whose completions post again: keep taking until quiet,
    // and never destroy closures while holding the lock.
    for (int round = 0; round < 64; ++round) {
        std::deque<Closure> ready;
        std::multimap<Duration, Closure> timers;
        {
            std::lock_guard lock(mutex_);
            ready.swap(ready_);
            timers.swap(timers_);
        }
        if (ready.empty() && timers.empty()) break;
    }
    installMainQueue(previous_);
}

void ManualLoop::post(Closure work) {
    {
        std::lock_guard lock(mutex_);
        ready_.push_back(std::move(work));
    }
    arrived_.notify_all();
}

bool ManualLoop::isMainThread() const { return std::this_thread::get_id() == owner_; }

void ManualLoop::schedule(Duration delay, Closure work) {
    {
        std::lock_guard lock(mutex_);
        timers_.emplace(now_ + (delay < Duration::zero() ? Duration::zero() : delay), std::move(work));
    }
    arrived_.notify_all();
}

bool ManualLoop::runOne() {
    Closure work;
    {
        std::lock_guard lock(mutex_);
        if (ready_.empty()) return false;
        work = std::move(ready_.front());
        ready_.pop_front();
    }
    work();
    return true;
}

std::size_t ManualLoop::runUntilIdle() {
    std::size_t ran = 0;
    while (ran < kIdleRunLimit && runOne()) ++ran;
    return ran;
}

void ManualLoop::advance(Duration by) {
    Duration target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + by;
    }
    runUntilIdle();
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (timers_.empty() || timers_.begin()->first > target) break;
            auto due = timers_.begin();
            now_ = due->first;
            ready_.push_back(std::move(due->second));
            timers_.erase(due);
        }
        runUntilIdle();
    }
    {
        std::lock_guard lock(mutex_);
        now_ = target;
    }
    runUntilIdle();
}

bool ManualLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        runUntilIdle();
        if (done()) return true;
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_until(lock, deadline, [this] { return !ready_.empty(); })) return done();
    }
}

Duration ManualLoop::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

std::size_t ManualLoop::readyCount() const {
    std::lock_guard lock(mutex_);
    return ready_.size();
}

std::size_t ManualLoop::timerCount() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

// --- SerialQueue -----------------------------------------------------------------------------------------------

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
