#include "ManualLoop.hpp"

namespace kestrova::platform {

namespace {

// Guards against a test that keeps reposting work forever.
constexpr std::size_t kIdleRunLimit = 10'000'000;

}  // namespace

ManualLoop::ManualLoop() : owner_(std::this_thread::get_id()), previous_(installMainQueue(this)) {}

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

}  // namespace kestrova::platform
