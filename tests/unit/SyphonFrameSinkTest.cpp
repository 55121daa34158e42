#include "SyphonFrameSink.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform = kestrova::platform;
using kestrova::SyphonFrameSink;

namespace {

// A device that records what the sink asks of it, with failure points the test chooses.
struct Recorder {
    std::vector<std::string> events;
    bool noQueue = false;
    int cacheStatus = 0;
    int textureStatus = 0;
    bool noWrapper = false;
    bool noTexture = false;
    bool noCommandBuffer = false;
};

struct FakeTexture final : platform::Texture {
    std::uint32_t w, h;
    FakeTexture(std::uint32_t width, std::uint32_t height) : w(width), h(height) {}
    std::uint32_t width() const override { return w; }
    std::uint32_t height() const override { return h; }
};

struct FakeWrapper final : platform::TextureWrapper {
    std::shared_ptr<platform::Texture> t;
    std::shared_ptr<platform::Texture> texture() const override { return t; }
};

struct FakeCommandBuffer final : platform::CommandBuffer {
    Recorder& r;
    explicit FakeCommandBuffer(Recorder& rec) : r(rec) {}
    void commit() override { r.events.push_back("commit"); }
};

struct FakeQueue final : platform::CommandQueue {
    Recorder& r;
    explicit FakeQueue(Recorder& rec) : r(rec) {}
    std::shared_ptr<platform::CommandBuffer> commandBuffer() override {
        if (r.noCommandBuffer) return nullptr;
        return std::make_shared<FakeCommandBuffer>(r);
    }
};

struct FakeCache final : platform::TextureCache {
    Recorder& r;
    explicit FakeCache(Recorder& rec) : r(rec) {}
    platform::TextureResult createTextureFromImage(const platform::PixelBufferRef&, std::uint32_t format,
                                                   std::uint32_t w, std::uint32_t h, std::size_t plane) override {
        r.events.push_back("texture " + std::to_string(format) + " " + std::to_string(w) + "x" + std::to_string(h) +
                           " plane " + std::to_string(plane));
        if (r.textureStatus != 0 || r.noWrapper) return {r.textureStatus, nullptr};
        auto wrapper = std::make_shared<FakeWrapper>();
        if (!r.noTexture) wrapper->t = std::make_shared<FakeTexture>(w, h);
        return {0, wrapper};
    }
};

struct FakeServer final : platform::Server {
    Recorder& r;
    explicit FakeServer(Recorder& rec) : r(rec) {}
    void publishFrameTexture(const std::shared_ptr<platform::Texture>&, platform::CommandBuffer&,
                             platform::ImageRegion region, bool flipped) override {
        r.events.push_back("publish " + std::to_string(int(region.x)) + "," + std::to_string(int(region.y)) + " " +
                           std::to_string(int(region.width)) + "x" + std::to_string(int(region.height)) +
                           (flipped ? " flipped" : ""));
    }
    void stop() override { r.events.push_back("stop"); }
    ~FakeServer() override { r.events.push_back("server released"); }
};

struct FakeDevice final : platform::Device {
    Recorder& r;
    explicit FakeDevice(Recorder& rec) : r(rec) {}
    std::shared_ptr<platform::CommandQueue> newCommandQueue() override {
        r.events.push_back("queue");
        return r.noQueue ? nullptr : std::make_shared<FakeQueue>(r);
    }
    std::shared_ptr<platform::Server> makeServer(std::string_view name) override {
        r.events.push_back("server " + std::string(name));
        return std::make_shared<FakeServer>(r);
    }
    platform::TextureCacheResult makeTextureCache() override {
        r.events.push_back("cache");
        return {r.cacheStatus, r.cacheStatus == 0 ? std::make_shared<FakeCache>(r) : nullptr};
    }
};

struct SinkFixture : ::testing::Test {
    Recorder recorder;
    void useDevice(bool present) {
        platform::installDeviceFactory([this, present]() -> std::shared_ptr<platform::Device> {
            recorder.events.push_back("device");
            return present ? std::make_shared<FakeDevice>(recorder) : nullptr;
        });
    }
    void TearDown() override { platform::installDeviceFactory(nullptr); }
};

TEST_F(SinkFixture, ConstructionFailsBeforeAnyServerWithoutDeviceOrQueue) {
    useDevice(false);
    EXPECT_FALSE(SyphonFrameSink::create());
    EXPECT_EQ(recorder.events, std::vector<std::string>{"device"});

    recorder = {};
    recorder.noQueue = true;
    useDevice(true);
    EXPECT_FALSE(SyphonFrameSink::create());
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"device", "queue"}));
}

TEST_F(SinkFixture, CacheFailureReleasesTheServerWithoutStoppingIt) {
    recorder.cacheStatus = -6660;
    useDevice(true);
    EXPECT_FALSE(SyphonFrameSink::create());
    EXPECT_EQ(recorder.events,
              (std::vector<std::string>{"device", "queue", "server Kestrova Bridge", "cache", "server released"}));
}

TEST_F(SinkFixture, PublishesEachWholeFrameUnflippedAndStopOnlyStops) {
    useDevice(true);
    auto sink = SyphonFrameSink::create();
    ASSERT_TRUE(sink);
    EXPECT_TRUE(sink->isAvailable());
    EXPECT_EQ(sink->name(), "Kestrova Bridge");
    recorder.events.clear();
    sink->publish(platform::PixelBuffer::create(4, 2));
    sink->publish(platform::PixelBuffer::create(6, 3));
    sink->stop();
    EXPECT_EQ(recorder.events,
              (std::vector<std::string>{"texture 80 4x2 plane 0", "publish 0,0 4x2", "commit",
                                        "texture 80 6x3 plane 0", "publish 0,0 6x3", "commit", "stop"}));
}

TEST_F(SinkFixture, FailuresOnTheWayDropOnlyThatFrame) {
    useDevice(true);
    auto sink = SyphonFrameSink::create();
    ASSERT_TRUE(sink);
    const auto frame = platform::PixelBuffer::create(2, 2);
    for (auto fail : {&Recorder::noWrapper, &Recorder::noTexture, &Recorder::noCommandBuffer}) {
        recorder.events.clear();
        recorder.*fail = true;
        sink->publish(frame);
        EXPECT_EQ(recorder.events, std::vector<std::string>{"texture 80 2x2 plane 0"});
        recorder.*fail = false;
    }
    recorder.events.clear();
    recorder.textureStatus = 1;
    sink->publish(frame);
    recorder.textureStatus = 0;
    sink->publish(frame);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"texture 80 2x2 plane 0", "texture 80 2x2 plane 0",
                                                         "publish 0,0 2x2", "commit"}));
}

}  // namespace
