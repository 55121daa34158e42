#include "Dispatch.hpp"
#include "QtTestLoop.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using kestrova::platform::awaitCompletion;
using kestrova::platform::Completion;
using kestrova::platform::DelayedWork;
using kestrova::platform::mainQueue;
using kestrova::platform::sleepFor;
using kestrova::platform::spawn;
using kestrova::platform::Task;
using kestrova::testing::serveEventsUntil;

namespace {

TEST(QtMainQueueTest, PostsRunInOrderAfterTheCurrentWork) {
    std::vector<int> ran;
    mainQueue().post([&] { ran.push_back(1); });
    mainQueue().post([&] {
        ran.push_back(2);
        mainQueue().post([&] { ran.push_back(4); });
    });
    mainQueue().post([&] { ran.push_back(3); });
    EXPECT_TRUE(ran.empty());
    ASSERT_TRUE(serveEventsUntil([&] { return ran.size() == 4; }));
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4}));
}

TEST(QtMainQueueTest, PostsFromOtherThreadsAllRunOnTheMainThread) {
    constexpr int kThreads = 4;
    constexpr int kPosts = 250;
    int ran = 0;
    int offMain = 0;
    std::atomic<int> workerSawMain{0};
    EXPECT_TRUE(mainQueue().isMainThread());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            if (mainQueue().isMainThread()) ++workerSawMain;
            for (int i = 0; i < kPosts; ++i) {
                mainQueue().post([&] {
                    ++ran;
                    if (!mainQueue().isMainThread()) ++offMain;
                });
            }
        });
    }
    const bool allRan = serveEventsUntil([&] { return ran == kThreads * kPosts; });
    for (auto& t : threads) t.join();
    EXPECT_TRUE(allRan);
    EXPECT_EQ(offMain, 0);
    EXPECT_EQ(workerSawMain.load(), 0);
}

TEST(QtMainQueueTest, DelayedWorkRunsInDueOrderAndCancelledWorkNever) {
    std::vector<std::string> ran;
    mainQueue().postAfter(30ms, [&] { ran.push_back("c"); });
    mainQueue().postAfter(1ms, [&] { ran.push_back("a"); });
    const DelayedWork cancelled = mainQueue().postAfter(15ms, [&] { ran.push_back("x"); });
    mainQueue().postAfter(15ms, [&] { ran.push_back("b"); });
    cancelled.cancel();
    EXPECT_TRUE(cancelled.isCancelled());
    ASSERT_TRUE(serveEventsUntil([&] { return ran.size() == 3; }));
    EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(QtMainQueueTest, DelayedWorkAskedForOnAnotherThreadRunsOnTheMainThread) {
    std::optional<bool> ranOnMain;
    bool cancelledRan = false;
    bool last = false;
    std::thread worker([&] {
        mainQueue().postAfter(1ms, [&] { ranOnMain = mainQueue().isMainThread(); });
        mainQueue().postAfter(1ms, [&] { cancelledRan = true; }).cancel();
        mainQueue().postAfter(20ms, [&] { last = true; });
    });
    worker.join();
    ASSERT_TRUE(serveEventsUntil([&] { return last; }));
    ASSERT_TRUE(ranOnMain.has_value());
    EXPECT_TRUE(*ranOnMain);
    EXPECT_FALSE(cancelledRan);
}

// The coroutine machinery on Qt's loop: a task resumes on the main thread whichever thread completes its wait,
// and a cancelled sleep ends at once.
TEST(QtMainQueueTest, TasksResumeOnTheMainThreadAndCancelledSleepsEndAtOnce) {
    std::optional<int> answer;
    bool resumedOnMain = false;
    std::thread completer;
    auto waiting = spawn([](std::optional<int>& out, bool& onMain, std::thread& thread) -> Task<> {
        auto a = awaitCompletion<int>([&thread](Completion<int> done) {
            thread = std::thread([done] { done(42); });
        });
        const int value = co_await a;
        onMain = mainQueue().isMainThread();
        out = value;
    }(answer, resumedOnMain, completer));

    std::optional<bool> sleptFully;
    auto sleeping = spawn([](std::optional<bool>& out) -> Task<> {
        out = co_await sleepFor(std::chrono::hours(1));
    }(sleptFully));

    ASSERT_TRUE(serveEventsUntil([&] { return answer.has_value(); }));
    sleeping.cancel();
    ASSERT_TRUE(serveEventsUntil([&] { return sleeping.isDone(); }));
    completer.join();
    EXPECT_EQ(answer, 42);
    EXPECT_TRUE(resumedOnMain);
    EXPECT_TRUE(waiting.isDone());
    EXPECT_EQ(sleptFully, false);
}

}  // namespace
