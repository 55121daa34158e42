#include "SyphonFrameSink.hpp"
#include "scripted/ScriptedFrameServer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform = kestrova::platform;
namespace scripted = kestrova::platform::scripted;
using kestrova::SyphonFrameSink;

namespace {

struct SinkFixture : ::testing::Test {
    scripted::ScriptedFrameServer server;
    scripted::FrameServerScript& script = server.script();
    std::vector<std::string> events() { return server.record().events(); }
    std::shared_ptr<SyphonFrameSink> create() { return SyphonFrameSink::create(server.deviceFactory()); }
};

TEST_F(SinkFixture, ConstructionFailsBeforeAnyServerWithoutDeviceOrQueue) {
    script.noDevice = true;
    EXPECT_FALSE(create());
    EXPECT_EQ(events(), std::vector<std::string>{"device"});

    server.record().clear();
    script.noDevice = false;
    script.noQueue = true;
    EXPECT_FALSE(create());
    EXPECT_EQ(events(), (std::vector<std::string>{"device", "queue"}));
}

TEST_F(SinkFixture, CacheFailureReleasesTheServerWithoutStoppingIt) {
    script.cacheStatus = -6660;
    EXPECT_FALSE(create());
    EXPECT_EQ(events(),
              (std::vector<std::string>{"device", "queue", "server Kestrova Bridge", "cache", "server released"}));
}

TEST_F(SinkFixture, PublishesEachWholeFrameUnflippedAndStopOnlyStops) {
    auto sink = create();
    ASSERT_TRUE(sink);
    EXPECT_TRUE(sink->isAvailable());
    EXPECT_EQ(sink->name(), "Kestrova Bridge");
    server.record().clear();
    sink->publish(platform::PixelBuffer::create(4, 2));
    sink->publish(platform::PixelBuffer::create(6, 3));
    sink->stop();
    EXPECT_EQ(events(), (std::vector<std::string>{"texture 80 4x2 plane 0", "publish 0,0 4x2", "commit",
                                                  "texture 80 6x3 plane 0", "publish 0,0 6x3", "commit", "stop"}));
}

TEST_F(SinkFixture, FailuresOnTheWayDropOnlyThatFrame) {
    auto sink = create();
    ASSERT_TRUE(sink);
    const auto frame = platform::PixelBuffer::create(2, 2);
    for (auto fail : {&scripted::FrameServerScript::noWrapper, &scripted::FrameServerScript::noTexture,
                      &scripted::FrameServerScript::noCommandBuffer}) {
        server.record().clear();
        script.*fail = true;
        sink->publish(frame);
        EXPECT_EQ(events(), std::vector<std::string>{"texture 80 2x2 plane 0"});
        script.*fail = false;
    }
    server.record().clear();
    script.textureStatus = 1;
    sink->publish(frame);
    script.textureStatus = 0;
    sink->publish(frame);
    EXPECT_EQ(events(), (std::vector<std::string>{"texture 80 2x2 plane 0", "texture 80 2x2 plane 0",
                                                  "publish 0,0 2x2", "commit"}));
}

}  // namespace
