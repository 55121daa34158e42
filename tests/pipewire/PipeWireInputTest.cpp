// The input the Wayland providers read a compositor's cast with, here reading a node of the frame server's own
// kind: the newest picture whole, over the connection the frame server uses. Then the crop region a producer marks
// on a buffer, taken only when it lies inside the picture.

#include "PipeWireTestSupport.hpp"
#include "common/PipeWireInput.hpp"
#include "pipewire/PipeWireConnection.hpp"
#include "pipewire/PipeWireVideoSource.hpp"

#include <gtest/gtest.h>

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>

#include <ostream>
#include <string>
#include <variant>
#include <vector>

namespace {

namespace platform = kestrova::platform;
using kestrova::testing::patternFrames;
using kestrova::testing::patternIndex;
using kestrova::testing::nodeIdNamed;
using kestrova::testing::publishUntil;

constexpr auto kBound = std::chrono::seconds(15);
const std::string kNodeName = "Kestrova Input Test";
constexpr std::uint32_t kWidth = 64;
constexpr std::uint32_t kHeight = 48;

TEST(PipeWireInputTest, ReadsTheNewestPictureOfANodeWhole) {
    auto connection = platform::pipewire::PipeWireConnection::open(std::chrono::seconds(1));
    ASSERT_TRUE(connection);
    auto source = platform::pipewire::PipeWireVideoSource::create(connection, kNodeName, kWidth, kHeight, kBound);
    ASSERT_TRUE(source);
    const auto publish = [&](const platform::PixelBufferRef& frame) { source->publish(frame); };
    const auto frames = patternFrames(kWidth, kHeight);
    std::uint32_t next = 0;
    std::optional<std::uint32_t> node;
    const auto listed = [&] { return (node = nodeIdNamed(kNodeName)).has_value(); };
    ASSERT_TRUE(publishUntil(publish, frames, next, listed, kBound));

    auto connected = platform::PipeWireInput::connect(*node);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<platform::PipeWireInput>>(connected));
    auto& input = *std::get<std::unique_ptr<platform::PipeWireInput>>(connected);
    ASSERT_TRUE(publishUntil(publish, frames, next, [&] { input.dispatch(); return input.hasPicture(); }, kBound));

    platform::InputFrame seen;
    std::optional<std::uint32_t> index;
    EXPECT_TRUE(input.readNewest([&](const platform::InputFrame& frame) {
        seen = frame;
        index = patternIndex(frame.width, frame.height, frame.pixels, frame.stride);
    }));
    EXPECT_EQ(seen.width, kWidth);
    EXPECT_EQ(seen.height, kHeight);
    EXPECT_FALSE(seen.opaque) << "the node's own BGRA was not the format agreed";
    EXPECT_FALSE(seen.crop) << "a crop region the node never marked";
    ASSERT_TRUE(index) << "the picture was not a published frame, whole";
    EXPECT_LT(*index, next);
    EXPECT_FALSE(input.failure());
}

TEST(PipeWireInputTest, TheCropRegionIsTheMarkedOneOnlyWhenItLiesInsideThePicture) {
    const struct {
        const char* name;
        bool marked;
        std::int32_t x, y;
        std::uint32_t width, height;
        bool taken;
    } cases[] = {
        {"none marked", false, 0, 0, 10, 10, false},
        {"inside", true, 2, 3, 10, 20, true},
        {"the whole picture", true, 0, 0, kWidth, kHeight, true},
        {"empty", true, 4, 4, 0, 10, false},
        {"past the right edge", true, 60, 0, 10, 10, false},
        {"past the bottom edge", true, 0, 40, 10, 10, false},
        {"left of the picture", true, -1, 0, 10, 10, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        spa_meta_region region{};
        region.region = {{c.x, c.y}, {c.width, c.height}};
        spa_meta meta{SPA_META_VideoCrop, sizeof region, &region};
        spa_buffer buffer{};
        buffer.n_metas = c.marked ? 1 : 0;
        buffer.metas = &meta;
        const auto crop = platform::cropOf(buffer, kWidth, kHeight);
        ASSERT_EQ(crop.has_value(), c.taken);
        if (!crop) continue;
        EXPECT_EQ(crop->x, c.x);
        EXPECT_EQ(crop->y, c.y);
        EXPECT_EQ(crop->width, c.width);
        EXPECT_EQ(crop->height, c.height);
    }
}

}  // namespace
