#include "CaptureBridge.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <limits>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using kestrova::CaptureBridge;
namespace platform = kestrova::platform;

namespace {

struct Log {
    std::vector<std::string> events;
};

// A stream whose start and stop completions wait until the test releases them.
struct HeldStream final : platform::Stream {
    Log& log;
    std::string name;
    std::optional<platform::Error> addError;
    std::deque<platform::StreamCompletion> starts, stops;
    platform::StreamConfiguration configuration;
    HeldStream(Log& l, std::string n, platform::StreamConfiguration c) : log(l), name(std::move(n)), configuration(c) {}

    std::optional<platform::Error> addStreamOutput(std::weak_ptr<platform::StreamOutput>, int type,
                                                   std::shared_ptr<platform::SerialQueue>) override {
        log.events.push_back("add " + name + " type " + std::to_string(type));
        return addError;
    }
    void startCapture(platform::StreamCompletion c) override {
        log.events.push_back("start " + name);
        starts.push_back(std::move(c));
    }
    void stopCapture(platform::StreamCompletion c) override {
        log.events.push_back("stop " + name);
        stops.push_back(std::move(c));
    }
};

struct HeldService final : platform::ScreenCaptureService {
    Log& log;
    std::vector<std::shared_ptr<HeldStream>> streams;
    std::optional<platform::Error> nextAddError;
    explicit HeldService(Log& l) : log(l) {}
    void getShareableContent(bool, bool, std::function<void(platform::ShareableContentAnswer)>) override {
        ADD_FAILURE() << "the bridge never lists windows";
    }
    std::shared_ptr<platform::Stream> makeStream(const platform::ContentFilter& filter,
                                                 const platform::StreamConfiguration& configuration,
                                                 std::weak_ptr<platform::StreamDelegate>) override {
        auto s = std::make_shared<HeldStream>(log, *filter.window()->title, configuration);
        s->addError = std::exchange(nextAddError, std::nullopt);
        log.events.push_back("create " + s->name);
        streams.push_back(s);
        return s;
    }
};

struct CountingSink final : kestrova::FrameSink {
    Log& log;
    std::atomic<int> published{0};
    std::atomic<bool> stopped{false};
    std::atomic<int> afterStop{0};
    const std::string n = "counting";
    explicit CountingSink(Log& l) : log(l) {}
    bool isAvailable() const override { return true; }
    const std::string& name() const override { return n; }
    void publish(const platform::PixelBufferRef&) override {
        ++published;
        if (stopped) ++afterStop;
    }
    void stop() override {
        stopped = true;
        log.events.push_back("sink stop");
    }
};

platform::Window window(const std::string& title, double w = 100, double h = 50) {
    auto r = std::make_shared<platform::WindowRecord>();
    r->title = title;
    r->frame = {0, 0, w, h};
    return r;
}

struct BridgeFixture : ::testing::Test {
    platform::ManualLoop loop;
    Log log;
    std::shared_ptr<HeldService> service = std::make_shared<HeldService>(log);
    std::shared_ptr<CountingSink> sink = std::make_shared<CountingSink>(log);
    std::shared_ptr<CaptureBridge> bridge;
    std::vector<std::string> errors;

    void SetUp() override {
        platform::installScreenCapture(service);
        bridge = CaptureBridge::create(sink);
        bridge->onError = [this](const platform::Error& e) { errors.push_back(e.description); };
    }
    void TearDown() override {
        // Releasing may create further streams: index, never iterate, the growing list.
        for (std::size_t i = 0; i < service->streams.size(); ++i) {
            auto s = service->streams[i];
            while (!s->starts.empty() || !s->stops.empty()) {
                if (!s->starts.empty()) release(s->starts);
                if (!s->stops.empty()) release(s->stops);
            }
        }
        loop.runUntilIdle();
        platform::installScreenCapture(nullptr);
    }
    void release(std::deque<platform::StreamCompletion>& q, std::optional<platform::Error> e = std::nullopt) {
        ASSERT_FALSE(q.empty());
        auto c = std::move(q.front());
        q.pop_front();
        c(std::move(e));
        loop.runUntilIdle();
    }
    bool shutdownResult() {
        std::optional<bool> result;
        platform::spawn([](std::shared_ptr<CaptureBridge> b, std::optional<bool>& out) -> platform::Task<> {
            out = co_await b->shutdown();
        }(bridge, result));
        EXPECT_TRUE(loop.runUntil([&] { return result.has_value(); }));
        return result.value_or(false);
    }
};

TEST_F(BridgeFixture, LatestCallPrevailsBeforeTheFirstTaskRuns) {
    bridge->capture(window("A"));
    bridge->capture(window("B"));
    loop.runUntilIdle();
    EXPECT_EQ(log.events, (std::vector<std::string>{"create B", "add B type 0", "start B"}));
    EXPECT_EQ(bridge->generation(), 2);
    const auto& c = service->streams[0]->configuration;
    EXPECT_EQ(c.pixelFormat(), 0x42475241u);
    EXPECT_EQ(c.minimumFrameInterval().value, 1);
    EXPECT_EQ(c.minimumFrameInterval().timescale, 60);
    EXPECT_EQ(c.queueDepth(), 3);
    EXPECT_FALSE(c.showsCursor());
    EXPECT_FALSE(c.capturesAudio());
    EXPECT_EQ(c.width(), 200);
    EXPECT_EQ(c.height(), 100);
    EXPECT_TRUE(c.scalesToFit());

    bridge->stopCapture();
    bridge->capture(window("C"));
    loop.runUntilIdle();
    // Both newer calls find B current and each asks it to stop; neither creates anything yet.
    EXPECT_EQ(log.events, (std::vector<std::string>{"create B", "add B type 0", "start B", "stop B", "stop B"}));
}

TEST_F(BridgeFixture, CaptureThenStopMakesNoRequest) {
    bridge->capture(window("A"));
    bridge->stopCapture();
    loop.runUntilIdle();
    EXPECT_TRUE(log.events.empty());
    EXPECT_FALSE(bridge->hasStream());
}

TEST_F(BridgeFixture, StartFailureOfTheLatestIsReportedOnceOfAnOvertakenNever) {
    bridge->capture(window("A"));
    loop.runUntilIdle();
    release(service->streams[0]->starts, platform::Error("denegado"));
    EXPECT_EQ(errors, std::vector<std::string>{"denegado"});
    EXPECT_FALSE(bridge->hasStream());

    bridge->capture(window("B"));
    loop.runUntilIdle();
    bridge->capture(window("C"));  // waits for B's stop
    loop.runUntilIdle();
    release(service->streams[1]->starts, platform::Error("tarde"));
    EXPECT_EQ(errors, std::vector<std::string>{"denegado"});
}

TEST_F(BridgeFixture, OvertakenSuccessfulStartIsStoppedSilently) {
    bridge->capture(window("A"));
    loop.runUntilIdle();
    bridge->stopCapture();
    loop.runUntilIdle();  // stop of A requested while it starts
    release(service->streams[0]->starts);
    release(service->streams[0]->stops);
    release(service->streams[0]->stops, platform::Error("ya parado"));
    EXPECT_TRUE(errors.empty() || errors == std::vector<std::string>{"ya parado"});
    EXPECT_FALSE(bridge->hasStream());
}

TEST_F(BridgeFixture, RegistrationFailureIsReported) {
    service->nextAddError = platform::Error("sin salida");
    bridge->capture(window("A"));
    loop.runUntilIdle();
    EXPECT_EQ(errors, std::vector<std::string>{"sin salida"});
    EXPECT_FALSE(bridge->hasStream());
    EXPECT_EQ(log.events, (std::vector<std::string>{"create A", "add A type 0"}));
}

TEST_F(BridgeFixture, ShutdownStopsTheStreamDrainsAndStopsTheSinkOrRefuses) {
    EXPECT_TRUE(shutdownResult());
    EXPECT_EQ(log.events, std::vector<std::string>{"sink stop"});
    EXPECT_EQ(bridge->generation(), 1);

    log.events.clear();
    bridge->capture(window("A"));
    loop.runUntilIdle();
    release(service->streams[0]->starts);
    std::optional<bool> result;
    platform::spawn([](std::shared_ptr<CaptureBridge> b, std::optional<bool>& out) -> platform::Task<> {
        out = co_await b->shutdown();
    }(bridge, result));
    loop.runUntilIdle();
    release(service->streams[0]->stops, platform::Error("atascado"));
    EXPECT_EQ(result, false);
    EXPECT_EQ(errors, std::vector<std::string>{"atascado"});
    EXPECT_TRUE(bridge->hasStream());
    EXPECT_EQ(log.events.back(), "stop A");
}

TEST_F(BridgeFixture, QueuedFramesFinishBeforeTheSinkStops) {
    auto queue = std::make_shared<platform::SerialQueue>("org.kestrova.test.frames");
    platform::SampleBuffer complete;
    complete.attachments = platform::Attachments(
        platform::AttachmentArray{platform::AttachmentDictionary{{"SCStreamFrameInfoStatus", std::int64_t{0}}}});
    complete.imageBuffer = platform::PixelBuffer::create(2, 2);
    bridge->capture(window("A"));
    loop.runUntilIdle();
    release(service->streams[0]->starts);
    auto stream = service->streams[0];
    // Frames arrive on the stream's queue while shutdown runs; none may follow the sink's stop.
    std::optional<bool> result;
    platform::spawn([](std::shared_ptr<CaptureBridge> b, std::optional<bool>& out) -> platform::Task<> {
        out = co_await b->shutdown();
    }(bridge, result));
    loop.runUntilIdle();
    std::atomic<int> delivered{0};
    for (int i = 0; i < 200; ++i) {
        bridge->streamDidOutputSampleBuffer(*stream, complete, 0);
        ++delivered;
    }
    release(stream->stops);
    EXPECT_TRUE(loop.runUntil([&] { return result.has_value(); }));
    EXPECT_EQ(result, true);
    EXPECT_EQ(sink->published, 200);
    EXPECT_EQ(sink->afterStop, 0);
}

TEST(FrameIntakeTest, OnlyValidCompleteScreenFramesWithAnImageArePublished) {
    using platform::AttachmentArray;
    using platform::AttachmentDictionary;
    using platform::Attachments;
    const auto status = [](platform::AttachmentValue v) {
        return AttachmentDictionary{{"SCStreamFrameInfoStatus", v}};
    };
    struct Case {
        const char* name;
        bool valid;
        std::optional<Attachments> attachments;
        bool image;
        int type;
        bool published;
    };
    const std::vector<Case> cases{
        {"complete", true, Attachments(AttachmentArray{status(std::int64_t{0})}), true, 0, true},
        {"audio_type", true, Attachments(AttachmentArray{status(std::int64_t{0})}), true, 1, false},
        {"invalid", false, Attachments(AttachmentArray{status(std::int64_t{0})}), true, 0, false},
        {"no_attachments", true, std::nullopt, true, 0, false},
        {"not_an_array", true, Attachments(platform::AttachmentValue(std::int64_t{0})), true, 0, false},
        {"empty_array", true, Attachments(AttachmentArray{}), true, 0, false},
        {"element_not_dictionary", true,
         Attachments(AttachmentArray{status(std::int64_t{0}), platform::AttachmentValue(std::string("x"))}), true, 0,
         false},
        {"first_empty", true, Attachments(AttachmentArray{AttachmentDictionary{}, status(std::int64_t{0})}), true, 0,
         false},
        {"status_idle", true, Attachments(AttachmentArray{status(std::int64_t{1})}), true, 0, false},
        {"status_double", true, Attachments(AttachmentArray{status(0.0)}), true, 0, false},
        {"status_text", true, Attachments(AttachmentArray{status(std::string("0"))}), true, 0, false},
        {"no_image", true, Attachments(AttachmentArray{status(std::int64_t{0})}), false, 0, false},
    };
    platform::ManualLoop loop;
    Log log;
    for (const auto& c : cases) {
        auto sink = std::make_shared<CountingSink>(log);
        auto bridge = CaptureBridge::create(sink);
        platform::SampleBuffer sample;
        sample.valid = c.valid;
        sample.attachments = c.attachments;
        if (c.image) sample.imageBuffer = platform::PixelBuffer::create(1, 1);
        HeldStream stream(log, "s", {});
        bridge->streamDidOutputSampleBuffer(stream, sample, c.type);
        EXPECT_EQ(sink->published == 1, c.published) << c.name;
    }
}

TEST(FrameIntakeTest, StopReportReachesOnErrorOnTheMainThreadUnlessTheBridgeIsGone) {
    platform::ManualLoop loop;
    Log log;
    auto bridge = CaptureBridge::create(std::make_shared<CountingSink>(log));
    std::vector<std::string> errors;
    bridge->onError = [&](const platform::Error& e) { errors.push_back(e.description); };
    HeldStream stream(log, "s", {});
    std::thread([&] { bridge->streamDidStopWithError(stream, platform::Error("ventana cerrada")); }).join();
    EXPECT_TRUE(errors.empty());
    loop.runUntilIdle();
    EXPECT_EQ(errors, std::vector<std::string>{"ventana cerrada"});
    bridge->streamDidStopWithError(stream, platform::Error("otra"));
    bridge.reset();
    loop.runUntilIdle();
    EXPECT_EQ(errors.size(), 1u);
}

TEST(CaptureSizeTest, DoublesTheCeilingAndClampsSafely) {
    EXPECT_EQ(CaptureBridge::captureDimension(800.5), 1602);
    EXPECT_EQ(CaptureBridge::captureDimension(600), 1200);
    EXPECT_EQ(CaptureBridge::captureDimension(0), 1);
    EXPECT_EQ(CaptureBridge::captureDimension(0.2), 2);
    EXPECT_EQ(CaptureBridge::captureDimension(-5), 1);
    EXPECT_EQ(CaptureBridge::captureDimension(std::nan("")), 1);
    EXPECT_EQ(CaptureBridge::captureDimension(std::numeric_limits<double>::infinity()), 1);
    EXPECT_EQ(CaptureBridge::captureDimension(1e300), 2 * (1 << 20));
}

}  // namespace
