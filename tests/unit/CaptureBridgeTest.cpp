#include "CaptureBridge.hpp"
#include "SyphonFrameSink.hpp"
#include "scripted/Samples.hpp"
#include "scripted/ScriptedFrameServer.hpp"
#include "scripted/ScriptedScreenCapture.hpp"
#include "scripted/ManualLoop.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using kestrova::CaptureBridge;
namespace platform = kestrova::platform;
namespace scripted = kestrova::platform::scripted;
using Events = std::vector<std::string>;

namespace {

platform::Window window(const std::string& title, double w = 100, double h = 50) {
    auto r = std::make_shared<platform::WindowRecord>();
    r->title = title;
    r->frame = {0, 0, w, h};
    return r;
}

// The bridge over the scripted service, publishing into the shared-video sink over a recording frame server.
struct BridgeFixture : ::testing::Test {
    platform::ManualLoop loop;
    scripted::EventLog log;
    std::shared_ptr<scripted::ScriptedScreenCapture> service = std::make_shared<scripted::ScriptedScreenCapture>(log);
    scripted::ScriptedFrameServer server;
    std::shared_ptr<CaptureBridge> bridge;
    std::vector<std::string> errors;

    void SetUp() override {
        auto sink = kestrova::SyphonFrameSink::create(server.deviceFactory());
        ASSERT_TRUE(sink);
        bridge = CaptureBridge::create(sink, *service);
        bridge->onError = [this](const platform::Error& e) { errors.push_back(e.description); };
        server.record().clear();
    }
    void TearDown() override {
        // Releasing may create further streams: re-read the list until nothing is held.
        for (bool released = true; released;) {
            released = false;
            for (const auto& s : service->streams()) {
                while (s->releaseStart() || s->releaseStop()) released = true;
            }
            loop.runUntilIdle();
        }
    }
    std::shared_ptr<scripted::ScriptedStream> stream(std::size_t i) { return service->streams().at(i); }
    void run() { loop.runUntilIdle(); }
    // Starts a shutdown; the result appears once it finishes.
    std::shared_ptr<std::optional<bool>> beginShutdown() {
        auto result = std::make_shared<std::optional<bool>>();
        platform::spawn([](std::shared_ptr<CaptureBridge> b, std::shared_ptr<std::optional<bool>> out)
                            -> platform::Task<> { *out = co_await b->shutdown(); }(bridge, result));
        run();
        return result;
    }
    // Waits for cross-thread work (the frame-queue drain); no virtual time passes.
    bool finish(const std::shared_ptr<std::optional<bool>>& result) {
        return loop.runUntil([&] { return result->has_value(); });
    }
};

TEST_F(BridgeFixture, LatestCallPrevailsBeforeTheFirstTaskRuns) {
    bridge->capture(window("A"));
    bridge->capture(window("B", 800.5, 600));
    run();
    EXPECT_EQ(log.events(), (Events{"create B", "add B type 0", "start B"}));
    EXPECT_EQ(bridge->generation(), 2);
    const auto& c = stream(0)->configuration();
    EXPECT_EQ(c.pixelFormat(), 0x42475241u);
    EXPECT_EQ(c.minimumFrameInterval().value, 1);
    EXPECT_EQ(c.minimumFrameInterval().timescale, 60);
    EXPECT_EQ(c.queueDepth(), 3);
    EXPECT_FALSE(c.showsCursor());
    EXPECT_FALSE(c.capturesAudio());
    EXPECT_EQ(c.width(), 1602);
    EXPECT_EQ(c.height(), 1200);
    EXPECT_TRUE(c.scalesToFit());
}

TEST_F(BridgeFixture, CaptureThenStopMakesNoRequest) {
    bridge->capture(window("A"));
    bridge->stopCapture();
    run();
    EXPECT_TRUE(log.events().empty());
    EXPECT_FALSE(bridge->hasStream());
    EXPECT_EQ(bridge->generation(), 2);
}

TEST_F(BridgeFixture, SwitchWhileAStopIsPendingStartsOnlyTheNewWindow) {
    bridge->capture(window("A"));
    run();
    stream(0)->releaseStart(std::nullopt, scripted::On::otherThread);
    run();
    bridge->stopCapture();
    bridge->capture(window("B"));
    run();
    // Both calls find A current and each asks it to stop; nothing new exists until A has stopped.
    EXPECT_EQ(log.events(), (Events{"create A", "add A type 0", "start A", "stop A", "stop A"}));
    stream(0)->releaseStop(std::nullopt, scripted::On::otherThread);
    run();
    stream(0)->releaseStop();
    run();
    stream(1)->releaseStart();
    run();
    EXPECT_EQ(log.events().back(), "start B");
    EXPECT_TRUE(stream(1)->running());
    EXPECT_FALSE(stream(0)->running());
    EXPECT_TRUE(bridge->hasStream());
    EXPECT_TRUE(errors.empty());
}

TEST_F(BridgeFixture, RefusedSecondStopOfAStreamAlreadyStoppedDoesNotHinderTheSwitch) {
    bridge->capture(window("A"));
    run();
    stream(0)->releaseStart();
    run();
    bridge->stopCapture();
    bridge->capture(window("B"));
    run();
    stream(0)->releaseStop();
    run();
    stream(0)->releaseStop(platform::Error("ya estaba detenida"));
    run();
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(log.events().back(), "start B");
}

TEST_F(BridgeFixture, FailingStopDuringASwitchKeepsTheOldStreamAndStartsNothing) {
    bridge->capture(window("A"));
    run();
    stream(0)->releaseStart();
    run();
    bridge->capture(window("B"));
    run();
    stream(0)->releaseStop(platform::Error("no se detiene"));
    run();
    EXPECT_EQ(errors, Events{"no se detiene"});
    EXPECT_EQ(service->streams().size(), 1u);
    EXPECT_TRUE(bridge->hasStream());
    // The stream that would not stop stays current, so the next switch tries again.
    bridge->capture(window("C"));
    run();
    stream(0)->releaseStop();
    run();
    EXPECT_EQ(log.events(), (Events{"create A", "add A type 0", "start A", "stop A", "stop A", "create C",
                                    "add C type 0", "start C"}));
}

TEST_F(BridgeFixture, StartFailureOfTheLatestIsReportedOnceOfAnOvertakenNever) {
    bridge->capture(window("A"));
    run();
    stream(0)->releaseStart(platform::Error("denegado"), scripted::On::otherThread);
    run();
    EXPECT_EQ(errors, Events{"denegado"});
    EXPECT_FALSE(bridge->hasStream());

    bridge->capture(window("B"));
    run();
    bridge->capture(window("C"));  // waits for B's stop
    run();
    stream(1)->releaseStart(platform::Error("tarde"));
    run();
    stream(1)->releaseStop();
    run();
    EXPECT_EQ(errors, Events{"denegado"});
    EXPECT_EQ(log.events().back(), "start C");
}

TEST_F(BridgeFixture, OvertakenSuccessfulStartIsStoppedSilently) {
    bridge->capture(window("A"));
    run();
    bridge->stopCapture();
    run();  // the stop of A is requested while A starts
    stream(0)->releaseStart();
    run();
    EXPECT_EQ(log.events(), (Events{"create A", "add A type 0", "start A", "stop A", "stop A"}));
    EXPECT_FALSE(bridge->hasStream());
    stream(0)->releaseStop();
    run();
    stream(0)->releaseStop(platform::Error("ya parado"));
    run();
    // The overtaken task's own stop is not reported, whatever its outcome.
    EXPECT_TRUE(errors.empty());
}

TEST_F(BridgeFixture, RegistrationFailureIsReportedAndNothingStarts) {
    service->failNextRegistration(platform::Error("sin salida"));
    bridge->capture(window("A"));
    run();
    EXPECT_EQ(errors, Events{"sin salida"});
    EXPECT_FALSE(bridge->hasStream());
    EXPECT_EQ(log.events(), (Events{"create A", "add A type 0"}));
}

TEST_F(BridgeFixture, ShutdownStopsTheStreamDrainsAndStopsTheSinkOrRefuses) {
    auto idle = beginShutdown();
    ASSERT_TRUE(finish(idle));
    EXPECT_EQ(*idle, true);
    EXPECT_EQ(server.record().events(), Events{"stop"});
    EXPECT_EQ(bridge->generation(), 1);

    bridge->capture(window("A"));
    run();
    stream(0)->releaseStart();
    auto refused = beginShutdown();
    stream(0)->releaseStop(platform::Error("atascado"));
    run();
    EXPECT_EQ(*refused, false);
    EXPECT_EQ(errors, Events{"atascado"});
    EXPECT_TRUE(bridge->hasStream());
    EXPECT_EQ(server.record().events(), Events{"stop"});  // the sink is not stopped a second time
}

TEST_F(BridgeFixture, QueuedFramesFinishBeforeTheSinkStops) {
    bridge->capture(window("A"));
    run();
    stream(0)->releaseStart();
    run();
    auto result = beginShutdown();
    // Frames keep arriving on the stream's queue until the stop completes; none may follow the sink's stop.
    for (int i = 0; i < 200; ++i) stream(0)->deliver(scripted::completeSample(platform::PixelBuffer::create(2, 2)));
    stream(0)->releaseStop(std::nullopt, scripted::On::otherThread);
    ASSERT_TRUE(finish(result));
    EXPECT_EQ(*result, true);
    EXPECT_EQ(server.record().published(), 200);
    EXPECT_EQ(server.record().publishedAfterStop(), 0);
    EXPECT_EQ(server.record().events().back(), "stop");
}

TEST_F(BridgeFixture, ShutdownWaitsForAnOvertakenStreamStillStopping) {
    bridge->capture(window("A"));
    run();
    bridge->stopCapture();  // asks A to stop while it starts
    run();
    stream(0)->releaseStart();  // A's own task now stops it too, as overtaken
    run();
    auto result = beginShutdown();
    for (int i = 0; i < 50; ++i) stream(0)->deliver(scripted::completeSample(platform::PixelBuffer::create(2, 2)));
    stream(0)->releaseStop();
    run();
    loop.advance(std::chrono::milliseconds(50));
    EXPECT_FALSE(result->has_value());  // the overtaken stop is still outstanding
    EXPECT_EQ(loop.timerCount(), 0u) << "the shutdown polls instead of waiting for the stop";
    stream(0)->releaseStop(std::nullopt, scripted::On::otherThread);
    ASSERT_TRUE(finish(result));
    EXPECT_EQ(*result, true);
    EXPECT_EQ(server.record().published(), 50);
    EXPECT_EQ(server.record().publishedAfterStop(), 0);
}

TEST(FrameIntakeTest, MalformedSamplesNeverReachTheSink) {
    platform::ManualLoop loop;
    scripted::EventLog log;
    scripted::ScriptedFrameServer server;
    scripted::ScriptedScreenCapture service(log);
    auto bridge = CaptureBridge::create(kestrova::SyphonFrameSink::create(server.deviceFactory()), service);
    scripted::ScriptedStream stream(log, window("A"), {}, {});
    for (const auto& bad : scripted::malformedSamples()) {
        bridge->streamDidOutputSampleBuffer(stream, bad.sample, bad.outputType);
        EXPECT_EQ(server.record().published(), 0) << bad.name;
    }
    bridge->streamDidOutputSampleBuffer(stream, scripted::completeSample(platform::PixelBuffer::create(3, 2)), 0);
    EXPECT_EQ(server.record().published(), 1);
    EXPECT_EQ(server.record().events().back(), "commit");
}

TEST(FrameIntakeTest, StopReportReachesOnErrorOnTheMainThreadUnlessTheBridgeIsGone) {
    platform::ManualLoop loop;
    scripted::EventLog log;
    scripted::ScriptedScreenCapture service(log);
    auto bridge = CaptureBridge::create(std::make_shared<kestrova::DiagnosticFrameSink>(), service);
    std::vector<std::string> errors;
    bridge->onError = [&](const platform::Error& e) { errors.push_back(e.description); };
    auto stream = std::make_shared<scripted::ScriptedStream>(log, window("A"), platform::StreamConfiguration{},
                                                             bridge);
    stream->stopWithError(platform::Error("ventana cerrada"), scripted::On::otherThread);
    EXPECT_TRUE(errors.empty());
    loop.runUntilIdle();
    EXPECT_EQ(errors, Events{"ventana cerrada"});
    stream->stopWithError(platform::Error("otra"));
    bridge.reset();
    loop.runUntilIdle();
    EXPECT_EQ(errors.size(), 1u);
}

TEST(CaptureSizeTest, DoublesTheCeilingAndClampsSafely) {
    const struct {
        double points;
        std::int64_t pixels;
    } cases[] = {{800.5, 1602},
                 {600, 1200},
                 {0.2, 2},
                 {0, 1},
                 {-5, 1},
                 {std::nan(""), 1},
                 {std::numeric_limits<double>::infinity(), 1},
                 {-std::numeric_limits<double>::infinity(), 1},
                 {std::numeric_limits<double>::denorm_min(), 2},
                 {1e300, 2 * (1 << 20)}};
    for (const auto& c : cases) EXPECT_EQ(CaptureBridge::captureDimension(c.points), c.pixels) << c.points;
}

}  // namespace
