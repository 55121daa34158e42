#include "Dispatch.hpp"
#include "scripted/ManualLoop.hpp"

#include <gtest/gtest.h>


#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using kestrova::platform::awaitCompletion;
using kestrova::platform::Completion;
using kestrova::platform::Error;
using kestrova::platform::isCancelled;
using kestrova::platform::mainQueue;
using kestrova::platform::ManualLoop;
using kestrova::platform::SerialQueue;
using kestrova::platform::sleepFor;
using kestrova::platform::spawn;
using kestrova::platform::Task;

namespace {

TEST(ManualLoopTest, RunsPostsInOrderOnlyWhenAsked) {
    ManualLoop loop;
    std::vector<int> ran;
    mainQueue().post([&] { ran.push_back(1); });
    mainQueue().post([&] {
        ran.push_back(2);
        mainQueue().post([&] { ran.push_back(4); });
    });
    mainQueue().post([&] { ran.push_back(3); });
    EXPECT_TRUE(ran.empty());
    EXPECT_TRUE(loop.runOne());
    EXPECT_EQ(ran, std::vector<int>{1});
    EXPECT_EQ(loop.runUntilIdle(), 3u);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_FALSE(loop.runOne());
}

TEST(ManualLoopTest, DelayedWorkRunsInDueOrderOnVirtualTime) {
    ManualLoop loop;
    std::vector<std::string> ran;
    mainQueue().postAfter(30ms, [&] { ran.push_back("c"); });
    mainQueue().postAfter(10ms, [&] { ran.push_back("a"); });
    auto cancelled = mainQueue().postAfter(20ms, [&] { ran.push_back("x"); });
    mainQueue().postAfter(20ms, [&] { ran.push_back("b"); });
    cancelled.cancel();
    loop.advance(15ms);
    EXPECT_EQ(ran, std::vector<std::string>{"a"});
    loop.advance(15ms);
    EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(loop.now(), 30ms);
    EXPECT_EQ(loop.timerCount(), 0u);
}

TEST(ManualLoopTest, PostsFromOtherThreadsAllArrive) {
    ManualLoop loop;
    std::atomic<int> posted{0};
    int ran = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 250; ++i) {
                mainQueue().post([&] { ++ran; });
                ++posted;
            }
        });
    }
    EXPECT_TRUE(loop.runUntil([&] { return ran == 1000; }));
    for (auto& t : threads) t.join();
    EXPECT_EQ(ran, 1000);
}

TEST(SerialQueueTest, RunsBlocksOneAtATimeInOrderOffTheCallingThread) {
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::thread::id worker;
    {
        SerialQueue queue("org.kestrova.test.serial");
        EXPECT_EQ(queue.label(), "org.kestrova.test.serial");
        for (int i = 0; i < 200; ++i) {
            queue.async([&, i] {
                if (inside.fetch_add(1) != 0) overlapped = true;
                order.push_back(i);
                worker = std::this_thread::get_id();
                inside.fetch_sub(1);
            });
        }
    }  // destruction finishes every submitted block
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(overlapped);
    EXPECT_NE(worker, std::this_thread::get_id());
}

TEST(SerialQueueTest, LastOwnerLetGoOnTheQueueItselfStillRunsTheRest) {
    auto owner = std::make_shared<SerialQueue>("org.kestrova.test.self");
    SerialQueue* queue = owner.get();
    std::promise<void> gate;
    std::promise<void> rest;
    queue->async([opened = gate.get_future().share()] { opened.wait(); });
    queue->async([last = std::move(owner)]() mutable { last.reset(); });
    queue->async([&rest] { rest.set_value(); });
    gate.set_value();
    EXPECT_EQ(rest.get_future().wait_for(10s), std::future_status::ready);
}

Task<int> addLater(int a, int b) {
    co_await sleepFor(5ms);
    co_return a + b;
}

TEST(TaskTest, SpawnStartsAfterCurrentWorkAndAwaitsResults) {
    ManualLoop loop;
    std::vector<std::string> trace;
    auto body = [&]() -> Task<> {
        trace.push_back("start");
        const int sum = co_await addLater(2, 3);
        trace.push_back("sum " + std::to_string(sum));
    };
    auto handle = spawn(body());
    trace.push_back("after spawn");
    EXPECT_EQ(trace, std::vector<std::string>{"after spawn"});
    loop.runUntilIdle();
    EXPECT_EQ(trace, (std::vector<std::string>{"after spawn", "start"}));
    EXPECT_FALSE(handle.isDone());
    loop.advance(5ms);
    EXPECT_EQ(trace.back(), "sum 5");
    EXPECT_TRUE(handle.isDone());
}

// A completion may come on any thread, before or after the task suspends; the task always resumes on the main
// thread, and only when the main loop runs it.
TEST(TaskTest, CompletionFromAnotherThreadResumesOnMainThread) {
    for (const bool completeBeforeSuspending : {true, false}) {
        ManualLoop loop;
        std::optional<std::thread> other;
        std::atomic<bool> release{false};
        std::atomic<bool> fired{false};
        std::thread::id resumedOn;
        std::optional<int> got;
        auto body = [&]() -> Task<> {
            got = co_await awaitCompletion<int>([&](Completion<int> done) {
                other.emplace([&release, &fired, done] {
                    while (!release.load()) std::this_thread::yield();
                    done(41);
                    done(99);  // a second call is ignored
                    fired = true;
                });
                if (completeBeforeSuspending) {
                    release = true;
                    while (!fired.load()) std::this_thread::yield();
                }
            });
            resumedOn = std::this_thread::get_id();
        };
        spawn(body());
        EXPECT_TRUE(loop.runOne());  // starts the task up to its wait
        EXPECT_FALSE(got);           // never resumed inline, whoever completed it
        release = true;
        EXPECT_TRUE(loop.runUntil([&] { return got.has_value(); }));
        other->join();
        loop.runUntilIdle();
        EXPECT_EQ(got, 41);
        EXPECT_EQ(resumedOn, std::this_thread::get_id());
    }
}

TEST(TaskTest, CompletionCalledInsideTheStarterStillResumesLater) {
    ManualLoop loop;
    std::vector<std::string> trace;
    auto body = [&]() -> Task<> {
        const int v = co_await awaitCompletion<int>([&](Completion<int> done) {
            done(7);
            trace.push_back("starter returned");
        });
        trace.push_back("resumed " + std::to_string(v));
    };
    spawn(body());
    EXPECT_TRUE(loop.runOne());
    EXPECT_EQ(trace, std::vector<std::string>{"starter returned"});
    loop.runUntilIdle();
    EXPECT_EQ(trace.back(), "resumed 7");
}

struct Outcome {
    std::optional<Error> error;
    Outcome() = default;
    explicit Outcome(Error e) : error(std::move(e)) {}
};

TEST(TaskTest, DroppedCompletionResumesWithFailureOrDefault) {
    ManualLoop loop;
    std::optional<Outcome> outcome;
    std::optional<int> number;
    auto body = [&]() -> Task<> {
        outcome = co_await awaitCompletion<Outcome>([](Completion<Outcome>) {});
        number = co_await awaitCompletion<int>([](Completion<int>) {});
    };
    spawn(body());
    loop.runUntilIdle();
    ASSERT_TRUE(outcome && outcome->error);
    EXPECT_EQ(outcome->error->description, kestrova::platform::droppedCompletionDescription());
    EXPECT_EQ(number, 0);
}

TEST(TaskTest, CancellationEndsASleepAtOnce) {
    ManualLoop loop;
    std::optional<bool> sleptFully;
    bool sawCancel = false;
    auto body = [&]() -> Task<> {
        sleptFully = co_await sleepFor(1s);
        sawCancel = co_await isCancelled();
    };
    auto handle = spawn(body());
    loop.runUntilIdle();
    EXPECT_FALSE(sleptFully);
    handle.cancel();
    loop.runUntilIdle();  // no virtual time passes
    EXPECT_EQ(sleptFully, false);
    EXPECT_TRUE(sawCancel);
    EXPECT_TRUE(handle.isDone());
    loop.advance(2s);  // the abandoned timer does nothing
}

TEST(TaskTest, SleepAfterCancellationDoesNotSuspendAndFullSleepGivesTrue) {
    ManualLoop loop;
    std::vector<bool> results;
    auto sleeper = [&](int count) -> Task<> {
        for (int i = 0; i < count; ++i) results.push_back(co_await sleepFor(1s));
    };
    auto full = spawn(sleeper(1));
    loop.advance(1s);
    EXPECT_EQ(results, std::vector<bool>{true});

    results.clear();
    auto cancelled = spawn(sleeper(3));
    cancelled.cancel();
    loop.runUntilIdle();
    EXPECT_EQ(results, (std::vector<bool>{false, false, false}));
    EXPECT_TRUE(full.isDone() && cancelled.isDone());
}

// Cancellation does not cut an awaited completion short: the task sees the answer, then sees the cancellation.
TEST(TaskTest, CancellationDuringAnAwaitedCompletionIsSeenAfterTheAnswer) {
    ManualLoop loop;
    std::optional<Completion<int>> pending;
    std::optional<int> answer;
    bool cancelledAfter = false;
    auto body = [&]() -> Task<> {
        answer = co_await awaitCompletion<int>([&](Completion<int> done) { pending.emplace(done); });
        cancelledAfter = co_await isCancelled();
    };
    auto handle = spawn(body());
    loop.runUntilIdle();
    handle.cancel();
    loop.runUntilIdle();
    EXPECT_FALSE(answer);
    EXPECT_FALSE(handle.isDone());
    (*pending)(5);
    pending.reset();
    loop.runUntilIdle();
    EXPECT_EQ(answer, 5);
    EXPECT_TRUE(cancelledAfter);
    EXPECT_TRUE(handle.isDone());
}

TEST(TaskTest, ChildTasksShareTheSpawnedTasksCancellation) {
    ManualLoop loop;
    std::optional<bool> innerSlept;
    auto inner = [&]() -> Task<bool> { co_return co_await sleepFor(10s); };
    auto outer = [&]() -> Task<> { innerSlept = co_await inner(); };
    auto handle = spawn(outer());
    loop.runUntilIdle();
    handle.cancel();
    loop.runUntilIdle();
    EXPECT_EQ(innerSlept, false);
}

// Steps between two waits run without other main-thread work in between.
TEST(TaskTest, StepsBetweenWaitsAreNotInterleaved) {
    ManualLoop loop;
    std::string trace;
    auto worker = [&](char name) -> Task<> {
        for (int i = 0; i < 3; ++i) {
            trace += name;
            trace += name;
            co_await sleepFor(1ms);
        }
    };
    spawn(worker('a'));
    spawn(worker('b'));
    loop.advance(10ms);
    EXPECT_EQ(trace, "aabbaabbaabb");
}

struct Tracked {
    static inline int alive = 0;
    Tracked() { ++alive; }
    Tracked(const Tracked&) { ++alive; }
    ~Tracked() { --alive; }
};

// A spawned task whose start never ran, and a finished one, both free their frames and what they hold.
TEST(TaskTest, FramesAreFreedWhenDoneOrWhenTheLoopGoesAway) {
    {
        ManualLoop loop;
        auto body = [](Tracked t) -> Task<> {
            (void)t;
            co_await sleepFor(1ms);
        };
        spawn(body(Tracked{}));
        EXPECT_EQ(Tracked::alive, 1);
        loop.advance(1ms);
        EXPECT_EQ(Tracked::alive, 0);
        spawn(body(Tracked{}));
        EXPECT_EQ(Tracked::alive, 1);
    }
    EXPECT_EQ(Tracked::alive, 0);
}

TEST(TaskTest, UnstartedTaskIsFreedWithItsOwner) {
    auto body = [](Tracked t) -> Task<int> {
        (void)t;
        co_return 1;
    };
    {
        auto task = body(Tracked{});
        EXPECT_EQ(Tracked::alive, 1);
    }
    EXPECT_EQ(Tracked::alive, 0);
}

}  // namespace
