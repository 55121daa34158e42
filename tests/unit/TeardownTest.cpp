// The program's end: answers that platform threads deliver while, or after, the main queue goes away.

#include "AppDelegate.hpp"
#include "Dispatch.hpp"
#include "WaitUntil.hpp"
#include "scripted/ScriptedApplication.hpp"
#include "scripted/ScriptedFrameServer.hpp"
#include "scripted/ScriptedScreenCapture.hpp"
#include "scripted/ManualLoop.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace platform = kestrova::platform;
namespace scripted = kestrova::platform::scripted;

TEST(TeardownTest, CompletionsArrivingWhenNoMainQueueExistsAreDropped) {
    std::optional<platform::Completion<int>> answered;
    std::optional<platform::Completion<int>> abandoned;
    auto first = platform::awaitCompletion<int>([&](platform::Completion<int> done) { answered.emplace(done); });
    auto second = platform::awaitCompletion<int>([&](platform::Completion<int> done) { abandoned.emplace(done); });
    {
        platform::ManualLoop loop;
        // Stand-ins for the tasks waiting on them; they are never resumed here.
        first.await_suspend(std::noop_coroutine());
        second.await_suspend(std::noop_coroutine());
    }
    ASSERT_TRUE(answered && abandoned);
    std::thread([&] {
        (*answered)(7);
        abandoned.reset();  // its last copy goes unanswered, which reports a failure of its own
    }).join();
    EXPECT_FALSE(platform::postToMainQueue([] {}));
    // Nothing of it reaches a main queue installed later.
    platform::ManualLoop later;
    EXPECT_EQ(later.readyCount(), 0u);
}

// A main queue that notes every post still under way once it has been uninstalled and is about to go.
class RetiringQueue final : public platform::MainQueue {
public:
    void post(platform::Closure) override {
        entered.fetch_add(1);
        for (int i = 0; i < 50; ++i) std::this_thread::yield();
        if (retired.load()) late.fetch_add(1);
    }
    bool isMainThread() const override { return false; }
    std::atomic<int> entered{0};
    std::atomic<bool> retired{false};
    std::atomic<int> late{0};

protected:
    void schedule(platform::Duration, platform::Closure) override {}
};

TEST(TeardownTest, UninstallingTheMainQueueWaitsForPostsUnderWay) {
    std::vector<RetiringQueue> queues(50);
    std::atomic<bool> stop{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < 2; ++t) {
        posters.emplace_back([&] {
            while (!stop.load()) (void)platform::postToMainQueue([] {});
        });
    }
    for (auto& queue : queues) {
        platform::installMainQueue(&queue);
        // Uninstalled while a post is under way.
        ASSERT_TRUE(kestrova::testing::waitUntil([&] { return queue.entered.load() > 0; }, 10s, 0ms));
        platform::installMainQueue(nullptr);
        queue.retired.store(true);
    }
    stop.store(true);
    for (auto& poster : posters) poster.join();
    int late = 0;
    for (const auto& queue : queues) late += queue.late.load();
    EXPECT_EQ(late, 0) << "posts ran on a queue already uninstalled";
}

// The quit that arrives while a window listing is under way, with the listing's answer coming only after the main
// queue has gone (as a service that outlives the event loop delivers it): the program still ends cleanly.
TEST(TeardownDeathTest, QuitWhileAListingIsInFlightEndsCleanlyWhenTheAnswerComesLast) {
    EXPECT_EXIT(
        {
            scripted::EventLog log;
            scripted::ScriptedFrameServer frameServer;
            auto screen = std::make_shared<scripted::ScriptedScreenCapture>(log);
            auto application = std::make_shared<scripted::ScriptedApplication>(log);
            bool inFlight = false;
            bool quit = false;
            int status = -1;
            {
                platform::ManualLoop loop;
                application->whileRunning = [&] {
                    loop.runUntilIdle();
                    inFlight = screen->pendingQueries() == 1;
                    quit = application->choose("Salir") && loop.runUntil([&] { return application->terminated(); });
                };
                status = kestrova::runApplication({*application, *screen, frameServer.deviceFactory()});
            }
            const bool answered = screen->answer(
                platform::ShareableContentAnswer(platform::ShareableContent{}), scripted::On::otherThread);
            // The task the answer was for stays suspended, as at any program's end: leave without the leak check.
            std::_Exit(status == 0 && inFlight && quit && answered ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// A destructor that cancels a sleeping task (as WindowDiscovery's does) may run once the main queue is gone.
TEST(TeardownDeathTest, CancellingASleepingTaskAfterTheMainQueueIsGoneEndsNothing) {
    EXPECT_EXIT(
        {
            platform::TaskHandle sleeper;
            {
                platform::ManualLoop loop;
                sleeper = platform::spawn([]() -> platform::Task<> {
                    auto pause = platform::sleepFor(1s);
                    co_await pause;
                }());
                loop.runUntilIdle();
            }
            sleeper.cancel();
            // The sleeping task is never resumed, as at any program's end: leave without the leak check.
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
