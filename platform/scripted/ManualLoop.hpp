#pragma once

#include "MainQueue.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace kestrova::platform {

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

}  // namespace kestrova::platform
